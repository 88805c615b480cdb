// A run of same-named leaves read into an array of events.
#include "reader/leaf_run.h"

namespace velmora::reader {

namespace {

// Writes the leaves of a run into an array.
template <TextUnit Unit>
struct LeafArray {
  UnitView<Unit> name;
  BasicEvent<Unit>* out;

  bool leaf(const BasicEvent<Unit>& leaf) {
    *out++ = leaf;
    return true;
  }
  bool short_text(UnitView<Unit> text, TextScan scan) {
    *out++ = BasicEvent<Unit>::leaf(name, text, scan);
    return true;
  }
};

}  // namespace

template <TextUnit Unit>
std::size_t BasicReader<Unit>::read_leaf_run(View name, Event* out, std::size_t room) {
  LeafArray<Unit> array{name, out};
  return take_leaf_run(name, room, array);
}

template std::size_t BasicReader<char>::read_leaf_run(View, Event*, std::size_t);
template std::size_t BasicReader<char8_t>::read_leaf_run(View, Event*, std::size_t);
template std::size_t BasicReader<char16_t>::read_leaf_run(View, Event*, std::size_t);
template std::size_t BasicReader<char32_t>::read_leaf_run(View, Event*, std::size_t);

}  // namespace velmora::reader
