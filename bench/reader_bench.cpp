// Reader throughput over generated documents: every event, and read_to_end over the root.
//   build: tools/build.sh -DVELMORA_BUILD_BENCH=ON; run: <build>/velmora_reader_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "reader/reader.h"

namespace {

using velmora::reader::EventKind;
using velmora::reader::Reader;

constexpr std::size_t kTargetBytes = 4 << 20;

// Records with several attributes and a short text each: tag scanning dominates.
std::string flat_records() {
  std::string s = "<?xml version=\"1.0\"?>\n<records>\n";
  for (int i = 0; s.size() < kTargetBytes; ++i) {
    const std::string n = std::to_string(i);
    s += "  <record id=\"" + n + "\" name='item " + n + "' kind=\"a&gt;b\" flag=\"true\" ratio=\"0." + n +
         "\">value " + n + "</record>\n";
  }
  return s + "</records>\n";
}

// Long paragraphs with a little inline markup: text scanning dominates.
std::string text_heavy() {
  const std::string words =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt "
      "ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation. ";
  std::string s = "<book>\n";
  while (s.size() < kTargetBytes) {
    s += "<p>";
    for (int i = 0; i < 20; ++i) s += words;
    s += "<em>emphasis</em> ";
    for (int i = 0; i < 20; ++i) s += words;
    s += "</p>\n";
  }
  return s + "</book>\n";
}

// Nested elements, 64 deep per chain, one leaf text each: the name stack and end tags.
std::string deep_nesting() {
  std::string s = "<root>";
  while (s.size() < kTargetBytes) {
    for (int d = 0; d < 64; ++d) s += "<level" + std::to_string(d) + " d='" + std::to_string(d) + "'>";
    s += "leaf";
    for (int d = 63; d >= 0; --d) s += "</level" + std::to_string(d) + ">";
  }
  return s + "</root>";
}

const std::string& document(int which) {
  static const std::string docs[] = {flat_records(), text_heavy(), deep_nesting()};
  return docs[which];
}

void BM_Events(benchmark::State& state) {
  const std::string& doc = document(static_cast<int>(state.range(0)));
  std::size_t events = 0;
  for (auto _ : state) {
    Reader r(doc);
    for (;;) {
      auto ev = r.read_event_impl();
      if (ev.is_err()) {
        state.SkipWithError("reader error");
        return;
      }
      ++events;
      if (ev.value().kind() == EventKind::Eof) break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
  state.counters["result_bytes"] = static_cast<double>(sizeof(velmora::reader::Result<velmora::reader::Event, velmora::reader::Error>));
}

// What the conversion asks of a parent reader for each element: skip to its end tag.
void BM_ReadToEnd(benchmark::State& state) {
  const std::string& doc = document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Reader r(doc);
    std::string name;
    for (;;) {
      auto ev = r.read_event_impl();
      if (ev.is_err() || ev.value().kind() == EventKind::Eof) {
        state.SkipWithError("no root element");
        return;
      }
      if (ev.value().kind() == EventKind::Start) {
        name = std::string(ev.value().as_start().name());
        break;
      }
    }
    auto range = r.read_to_end(name);
    if (range.is_err()) {
      state.SkipWithError("read_to_end failed");
      return;
    }
    benchmark::DoNotOptimize(range.value());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

void documents(benchmark::internal::Benchmark* b) {
  b->ArgName("doc");
  for (int i = 0; i < 3; ++i) b->Arg(i);
  b->Unit(benchmark::kMillisecond);
}

}  // namespace

// doc: 0 flat records with attributes, 1 text-heavy, 2 deep nesting.
BENCHMARK(BM_Events)->Apply(documents);
BENCHMARK(BM_ReadToEnd)->Apply(documents);

BENCHMARK_MAIN();
