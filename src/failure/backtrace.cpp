// Frames are found by the unwinder and named from the loaded objects' DWARF line tables and
// ELF symbol tables through libbacktrace, linked statically from the compiler's own runtime
// files. The module's symbols are hidden, so dladdr alone could name none of its frames.
// Without libbacktrace at build time, frames are named through dladdr where possible.
#include "failure/backtrace.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "failure/output.h"

#if VELMORA_HAVE_LIBBACKTRACE
#include <backtrace.h>
#else
#include <dlfcn.h>
#include <unwind.h>
#endif

namespace velmora::backtrace {
namespace {

using failure_output::StderrLine;

// Unwinders report one past a return address as 0 - 1 at the outermost frame.
[[maybe_unused]] constexpr std::uintptr_t kEndOfStack = ~std::uintptr_t{0};

void write_frame_number(StderrLine& line, unsigned number) {
  // Right-aligned in four columns, as "   0: ", "  12: ".
  unsigned width = 1;
  for (unsigned rest = number; rest >= 10; rest /= 10) ++width;
  for (; width < 4; ++width) line << " ";
  line << std::uint64_t{number} << ": ";
}

// Writes `name` demangled when it is a mangled C++ name, as it stands otherwise.
void write_function_name(StderrLine& line, const char* name) {
  if (name[0] == '_' && name[1] == 'Z') {
    int status = -1;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) {
      line << std::string_view(demangled);
      std::free(demangled);
      return;
    }
    std::free(demangled);
  }
  line << std::string_view(name);
}

// Deepest chain of inlined calls kept for one frame; deeper chains lose their middle.
constexpr unsigned kMaxInlineDepth = 32;

// One function of a frame as the line tables know it (the strings live in mapped debug data).
struct Location {
  const char* file = nullptr;
  int line = 0;
  const char* function = nullptr;
};

struct Walk {
  std::uintptr_t first_frame = 0;
  bool skipping = false;
  unsigned number = 0;
  // The frame being written: its inlined calls, innermost first, then the function itself.
  Location chain[kMaxInlineDepth];
  unsigned chain_length = 0;
  const char* symbol = nullptr;  // the frame's function as the symbol table names it
#if VELMORA_HAVE_LIBBACKTRACE
  backtrace_state* state = nullptr;
#endif
};

void write_name_line(const Walk& walk, bool first, const char* function, std::uintptr_t pc) {
  StderrLine line;
  if (first) {
    write_frame_number(line, walk.number);
  } else {
    line << "      ";  // inlined into the frame above: no number of its own
  }
  if (function != nullptr && function[0] != '\0') {
    write_function_name(line, function);
  } else {
    line << "<unknown> (";
    line.hex(pc);
    line << ")";
  }
  line << "\n";
}

void write_source_line(const Location& location) {
  if (location.file == nullptr) return;
  std::string_view file(location.file);
  // clang's line tables name the compilation folder, given as "." (see CMakeLists.txt).
  if (file.starts_with("./")) file.remove_prefix(2);
  StderrLine line;
  line << "             at " << file;
  if (location.line > 0) line << ":" << static_cast<std::uint64_t>(location.line);
  line << "\n";
}

// Writes the collected frame. The symbol table's name is preferred for the frame's own
// function: it is the full mangled name, where line tables often hold only the short name.
void write_frame(const Walk& walk, std::uintptr_t pc) {
  if (walk.chain_length == 0) {
    write_name_line(walk, true, walk.symbol, pc);
    return;
  }
  for (unsigned i = 0; i < walk.chain_length; ++i) {
    const Location& location = walk.chain[i];
    const bool own_function = i + 1 == walk.chain_length;
    const char* name = own_function && walk.symbol != nullptr ? walk.symbol : location.function;
    write_name_line(walk, i == 0, name, pc);
    write_source_line(location);
  }
}

// Decides whether the frame at `pc` (one before its return address) is written.
bool frame_wanted(Walk& walk, std::uintptr_t pc) {
  if (!walk.skipping) return true;
  if (pc + 1 == walk.first_frame || pc == walk.first_frame) walk.skipping = false;
  return !walk.skipping;
}

#if VELMORA_HAVE_LIBBACKTRACE

void ignore_error(void*, const char*, int) {}

backtrace_state* shared_state() {
  // Made once and kept: libbacktrace maps symbol tables in lazily and never gives them back.
  static backtrace_state* const state = backtrace_create_state(nullptr, 1, ignore_error, nullptr);
  return state;
}

int on_location(void* data, std::uintptr_t, const char* file, int line, const char* function) {
  Walk& walk = *static_cast<Walk*>(data);
  if (function == nullptr && file == nullptr) return 0;  // the symbol table may still know it
  // Past the limit the newest entry, the outer function, overwrites the last slot.
  const unsigned slot = walk.chain_length < kMaxInlineDepth ? walk.chain_length++ : kMaxInlineDepth - 1;
  walk.chain[slot] = Location{file, line, function};
  return 0;
}

void on_symbol(void* data, std::uintptr_t, const char* symbol, std::uintptr_t, std::uintptr_t) {
  static_cast<Walk*>(data)->symbol = symbol;
}

int on_frame(void* data, std::uintptr_t pc) {
  Walk& walk = *static_cast<Walk*>(data);
  if (pc == 0 || pc == kEndOfStack) return 0;
  if (!frame_wanted(walk, pc)) return 0;
  walk.chain_length = 0;
  walk.symbol = nullptr;
  backtrace_pcinfo(walk.state, pc, on_location, ignore_error, &walk);
  backtrace_syminfo(walk.state, pc, on_symbol, ignore_error, &walk);
  write_frame(walk, pc);
  ++walk.number;
  return 0;
}

void walk_stack(Walk& walk) {
  walk.state = shared_state();
  if (walk.state == nullptr) return;
  backtrace_simple(walk.state, 0, on_frame, ignore_error, &walk);
}

#else  // without libbacktrace: unwinder and dladdr

_Unwind_Reason_Code on_frame(_Unwind_Context* context, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  int before_instruction = 0;
  std::uintptr_t pc = _Unwind_GetIPInfo(context, &before_instruction);
  if (pc == 0) return _URC_END_OF_STACK;
  if (!before_instruction) --pc;
  if (!frame_wanted(walk, pc)) return _URC_NO_REASON;
  Dl_info info;
  walk.chain_length = 0;
  walk.symbol = dladdr(reinterpret_cast<void*>(pc), &info) != 0 ? info.dli_sname : nullptr;
  write_frame(walk, pc);
  ++walk.number;
  return _URC_NO_REASON;
}

void walk_stack(Walk& walk) { _Unwind_Backtrace(on_frame, &walk); }

#endif

}  // namespace

[[gnu::noinline]] void write_stack(std::uintptr_t first_frame) noexcept {
  Walk walk;
  walk.first_frame = first_frame;
  walk.skipping = first_frame != 0;
  walk_stack(walk);
  if (walk.skipping) {
    // The caller's frame was not found (an unwinder that cannot see it): better every frame
    // than none.
    Walk again;
    walk_stack(again);
  }
}

}  // namespace velmora::backtrace
