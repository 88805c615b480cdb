// libFuzzer target for the item scanner: the steps must not depend on where chunks end (whole,
// split at fuzzer-chosen points, one byte at a time), and at depth 1 they must be the reader's
// own: each top-level element's text up to its matching end tag, and the same errors at the
// same positions. The first input byte picks the depth and the split points.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reader/bytes.h"
#include "reader/errors.h"
#include "reader/reader.h"
#include "reader/utf8.h"
#include "check.h"
#include "stream/item_scanner.h"

using namespace velmora;

namespace {

enum class Pieces { Whole, Random, Bytes };

// The steps of the scanner over `doc` fed whole, in pieces of sizes drawn from `seed`, or byte
// by byte.
std::vector<std::string> steps(std::string_view doc, std::size_t depth, Pieces pieces, std::uint32_t seed = 0) {
  stream::ItemScanner scanner(depth);
  std::vector<std::string> out;
  std::size_t at = 0;
  std::uint32_t state = seed | 1;
  for (;;) {
    const stream::Step step = scanner.next();
    std::string line;
    switch (step.kind) {
      case stream::StepKind::NeedMore: {
        if (at >= doc.size()) {
          scanner.finish();
          continue;
        }
        state = state * 1103515245u + 12345u;
        const std::size_t size = pieces == Pieces::Whole ? doc.size() : pieces == Pieces::Bytes ? 1 : 1 + (state >> 16) % 64;
        const std::string_view piece = doc.substr(at, size);
        at += piece.size();
        scanner.feed(piece);
        CHECK(scanner.buffered() <= doc.size());
        continue;
      }
      case stream::StepKind::Open: line = "open " + std::to_string(step.offset) + " " + std::string(step.tag); break;
      case stream::StepKind::Close: line = "close"; break;
      case stream::StepKind::Item:
        CHECK(step.text.size() >= 2 && step.text.front() == '<');
        line = "item " + std::to_string(step.offset) + " " + std::string(step.text);
        break;
      case stream::StepKind::ItemError:
        line = "itemerror " + std::to_string(step.offset) + " " + reader::to_string(*step.error);
        break;
      case stream::StepKind::Error:
        line = "error " + std::to_string(step.offset) + " " + reader::to_string(*step.error);
        break;
      case stream::StepKind::BadUtf8: line = "utf8 " + std::to_string(step.offset); break;
      case stream::StepKind::Done: line = "done"; break;
    }
    out.push_back(line);
    if (step.kind != stream::StepKind::Open && step.kind != stream::StepKind::Close &&
        step.kind != stream::StepKind::Item)
      break;
  }
  CHECK(scanner.next().kind == stream::StepKind::Done);
  return out;
}

// What the reader finds at the top level of a UTF-8 document, in the scanner's terms.
std::vector<std::string> reader_steps(std::string_view doc) {
  reader::Reader r(doc);
  const std::size_t bom = doc.starts_with(reader::kUtf8Bom) ? reader::kUtf8Bom.size() : 0;
  const std::string_view body = doc.substr(bom);
  std::vector<std::string> out;
  for (;;) {
    auto ev = r.read_event_impl();
    if (ev.is_err()) {
      out.push_back("error " + std::to_string(r.position()) + " " + reader::to_string(ev.error()));
      return out;
    }
    const reader::Event& e = ev.value();
    if (e.kind() == reader::EventKind::Eof) {
      out.push_back("done");
      return out;
    }
    if (e.kind() != reader::EventKind::Start && e.kind() != reader::EventKind::Empty) continue;
    const std::size_t lt = static_cast<std::size_t>(e.bytes().data() - body.data()) - 1;
    if (e.kind() == reader::EventKind::Start) {
      const std::string name(e.as_start().name());
      auto range = r.read_to_end(name);
      if (range.is_err()) {
        out.push_back("itemerror " + std::to_string(lt) + " " + reader::to_string(range.error()));
        return out;
      }
    }
    const std::size_t end = static_cast<std::size_t>(r.state().offset);
    out.push_back("item " + std::to_string(lt) + " " + std::string(body.substr(lt, end - lt)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t depth = 1 + data[0] % 4;
  const std::uint32_t seed = data[0];
  const std::string_view doc(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto whole = steps(doc, depth, Pieces::Whole);
  CHECK(steps(doc, depth, Pieces::Random, seed) == whole);
  if (doc.size() <= 1024) CHECK(steps(doc, depth, Pieces::Bytes) == whole);
  if (depth == 1 && !reader::check_utf8(doc)) CHECK(reader_steps(doc) == whole);
  return 0;
}
