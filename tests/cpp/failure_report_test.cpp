// The failure report on descriptor 2 and the abort paths, each run in a forked child whose
// descriptor 2 is captured. The report's process state (cached backtrace setting, hint flag,
// counts) is fresh in every child because this test process itself never reports a failure.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <new>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "failure/failure.h"
#include "failure/output.h"
#include "report_write.h"

namespace {

using velmora::FatalFailure;

const std::string kHint =
    "note: run with `VELMORA_BACKTRACE=1` environment variable to display a backtrace\n";
const std::string kOmitted =
    "note: Some details are omitted, run with `VELMORA_BACKTRACE=full` for a verbose "
    "backtrace.\n";
const std::string kNonUnwinding = "thread caused non-unwinding panic. aborting.\n";

struct Outcome {
  int status = 0;
  std::string err;
  bool exited_cleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  bool aborted() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }
};

// Runs `body` in a child with VELMORA_BACKTRACE set to `setting` (nullptr: unset) and returns
// what it wrote to descriptor 2. A FatalFailure escaping `body` ends the child with status 70.
Outcome run_child(const char* setting, const std::function<void()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) ADD_FAILURE() << "pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[1]);
    if (setting != nullptr) {
      setenv("VELMORA_BACKTRACE", setting, 1);
    } else {
      unsetenv("VELMORA_BACKTRACE");
    }
    try {
      body();
    } catch (const FatalFailure&) {
      _exit(70);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0) break;
    outcome.err.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_fds[0]);
  waitpid(pid, &outcome.status, 0);
  return outcome;
}

std::string first_line(const velmora::SourceLocation& where) {
  return std::string("thread '<unnamed>' panicked at ") + where.file_name() + ":" +
         std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
}

velmora::SourceLocation here(velmora::SourceLocation where = velmora::SourceLocation::current()) {
  return where;
}

// Raises a failure at `where` and catches it the way an entry frame does.
void fail_and_catch(const char* message, velmora::SourceLocation where) {
  try {
    velmora::fail(message, where);
  } catch (const FatalFailure& failure) {
    EXPECT_EQ(failure.message(), message);
    velmora::failure_caught();
  }
}

constexpr unsigned kRaiseLine = __LINE__ + 2;
[[gnu::noinline]] void raise_from_named_function() {
  velmora::fail("raised by name");
}

void raise_and_catch() {
  try {
    raise_from_named_function();
  } catch (const FatalFailure&) {
    velmora::failure_caught();
  }
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(FailureReport, FirstLineNamesTheRaisingStatement) {
  const Outcome outcome = run_child(nullptr, raise_and_catch);
  ASSERT_TRUE(outcome.exited_cleanly()) << outcome.err;
  const std::regex expected("thread '<unnamed>' panicked at tests/cpp/failure_report_test\\.cpp:" +
                            std::to_string(kRaiseLine) + ":[1-9][0-9]*:\nraised by name\n");
  EXPECT_TRUE(std::regex_search(outcome.err, expected)) << outcome.err;
}

TEST(FailureReport, HintOnlyOnTheFirstReportWithoutBacktraces) {
  const auto first = here();
  const auto second = here();
  const std::string two_reports =
      first_line(first) + "one\n" + kHint + first_line(second) + "two\n";
  for (const char* setting : {static_cast<const char*>(nullptr), "0"}) {
    SCOPED_TRACE(setting == nullptr ? "unset" : setting);
    const Outcome outcome = run_child(setting, [&] {
      fail_and_catch("one", first);
      fail_and_catch("two", second);
    });
    EXPECT_TRUE(outcome.exited_cleanly());
    EXPECT_EQ(outcome.err, two_reports);
  }
}

TEST(FailureReport, BacktraceSettings) {
  struct Case {
    const char* setting;
    bool backtrace;
    bool short_form;
  };
  const Case cases[] = {
      {nullptr, false, false}, {"0", false, false},   {"1", true, true},
      {"", true, true},        {"full", true, false}, {"FULL", true, true},
      {"00", true, true},      {" full", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting == nullptr ? "unset" : std::string("'") + c.setting + "'");
    const Outcome outcome = run_child(c.setting, raise_and_catch);
    EXPECT_TRUE(outcome.exited_cleanly());
    EXPECT_EQ(contains(outcome.err, "raised by name\nstack backtrace:\n   0: "), c.backtrace);
    EXPECT_EQ(contains(outcome.err, kHint), !c.backtrace);
    EXPECT_EQ(ends_with(outcome.err, kOmitted), c.short_form);
    if (c.backtrace && !c.short_form) {
      EXPECT_FALSE(contains(outcome.err, "note: "));
    }
  }
}

TEST(FailureReport, ShortBacktraceStartsAtTheRaisingFunction) {
  const Outcome outcome = run_child("1", raise_and_catch);
  EXPECT_TRUE(outcome.exited_cleanly());
  const std::regex frame_zero(
      "stack backtrace:\n   0: [^\n]*raise_from_named_function\\(\\)\n"
      " +at tests/cpp/failure_report_test\\.cpp:" + std::to_string(kRaiseLine) + "\n   1: ");
  EXPECT_TRUE(std::regex_search(outcome.err, frame_zero)) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "velmora::fail(")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "write_stack")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, " main\n") || contains(outcome.err, " main()")) << outcome.err;
}

TEST(FailureReport, FullBacktraceKeepsTheMachinery) {
  const Outcome outcome = run_child("full", raise_and_catch);
  EXPECT_TRUE(outcome.exited_cleanly());
  const auto machinery = outcome.err.find("velmora::fail(");
  const auto raiser = outcome.err.find("raise_from_named_function()");
  ASSERT_NE(machinery, std::string::npos) << outcome.err;
  ASSERT_NE(raiser, std::string::npos) << outcome.err;
  EXPECT_LT(machinery, raiser) << "innermost frames come first";
  EXPECT_TRUE(contains(outcome.err, "   0: ")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "note: ")) << outcome.err;
}

TEST(FailureReport, CountsDecideWhetherAFailureIsNested) {
  const auto first = here();
  const auto second = here();
  struct Case {
    const char* name;
    std::function<void()> before;  // leaves one failure in flight, or none
    bool second_has_full_backtrace;
    bool hint;  // resumed failures write no report, so no hint either
  };
  const Case cases[] = {
      {"caught failure", [&] { fail_and_catch("one", first); }, false, true},
      {"failure still in flight",
       [&] {
         try {
           velmora::fail("one", first);
         } catch (const FatalFailure&) {
         }
       },
       true, true},
      {"resumed failure, caught",
       [] {
         try {
           velmora::resume_failure("one");
         } catch (const FatalFailure&) {
           velmora::failure_caught();
         }
       },
       false, true},
      {"resumed failure still in flight",
       [] {
         try {
           velmora::resume_failure("one");
         } catch (const FatalFailure& failure) {
           EXPECT_EQ(failure.message(), "one");
         }
       },
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_child(nullptr, [&] {
      c.before();
      fail_and_catch("two", second);
    });
    EXPECT_TRUE(outcome.exited_cleanly());
    const auto report = outcome.err.find(first_line(second) + "two\n");
    ASSERT_NE(report, std::string::npos) << outcome.err;
    const std::string rest = outcome.err.substr(report);
    EXPECT_EQ(contains(rest, "stack backtrace:\n"), c.second_has_full_backtrace) << outcome.err;
    EXPECT_FALSE(contains(rest, kOmitted));
    EXPECT_EQ(contains(outcome.err, kHint), c.hint) << outcome.err;
  }
}

TEST(FailureReport, ClosedStandardErrorLosesTheReportSilently) {
  const Outcome outcome = run_child(nullptr, [] {
    close(2);
    try {
      velmora::fail("nobody hears this");
    } catch (const FatalFailure& failure) {
      if (failure.message() != "nobody hears this") _exit(1);
      velmora::failure_caught();
    }
  });
  EXPECT_TRUE(outcome.exited_cleanly());
  EXPECT_EQ(outcome.err, "");
}

TEST(FailureAbort, NonUnwindingFailureIsReportedThenAborts) {
  const auto where = here();
  const Outcome outcome =
      run_child(nullptr, [&] { velmora::fail_without_unwinding("must not unwind", where); });
  EXPECT_TRUE(outcome.aborted());
  EXPECT_EQ(outcome.err, first_line(where) + "must not unwind\n" + kHint + kNonUnwinding);
}

// Stands for an entry frame's last guard: fires when a failure unwinds through it.
struct PanicTrapStandIn {
  velmora::SourceLocation where;
  ~PanicTrapStandIn() {
    if (std::uncaught_exceptions() > 0) velmora::panic_trap_fired("uncaught panic at ffi boundary", where);
  }
};

TEST(FailureAbort, PanicTrapReportsTwiceThenAborts) {
  const auto trap = here();
  const Outcome outcome = run_child(nullptr, [&] {
    PanicTrapStandIn guard{trap};
    raise_from_named_function();
  });
  ASSERT_TRUE(outcome.aborted()) << outcome.err;
  const std::string& err = outcome.err;
  // The escaping failure, with the first report's hint.
  const auto escaping = err.find("raised by name\n" + kHint);
  // The trap's own report with a full backtrace: the escaping failure is still in flight.
  const auto trapped =
      err.find(first_line(trap) + "uncaught panic at ffi boundary\nstack backtrace:\n   0: ");
  const std::string cleanup = first_line(trap) + "panic in a destructor during cleanup\n";
  const auto cleaned = err.find(cleanup);
  ASSERT_NE(escaping, std::string::npos) << err;
  ASSERT_NE(trapped, std::string::npos) << err;
  ASSERT_NE(cleaned, std::string::npos) << err;
  EXPECT_LT(escaping, trapped);
  EXPECT_LT(trapped, cleaned);
  EXPECT_TRUE(contains(err.substr(trapped, cleaned - trapped), "~PanicTrapStandIn"))
      << err;
  EXPECT_FALSE(contains(err, kOmitted));
  // No backtrace for the clean-up failure: its report is followed by the abort line alone.
  EXPECT_EQ(err.substr(cleaned), cleanup + kNonUnwinding);
}

bool g_nested_failure_raised = false;
ssize_t write_that_fails_once(int fd, const void* data, std::size_t size) {
  if (!g_nested_failure_raised) {
    g_nested_failure_raised = true;
    velmora::fail("raised while reporting");
  }
  return write(fd, data, size);
}

TEST(FailureAbort, FailureWhileReportingAborts) {
  const Outcome outcome = run_child(nullptr, [] {
    velmora::failure_output::set_write_function(&write_that_fails_once);
    velmora::fail("the first failure");
  });
  EXPECT_TRUE(outcome.aborted());
  EXPECT_EQ(outcome.err, "thread panicked while processing panic. aborting.\n");
}

#if !defined(__SANITIZE_ADDRESS__)
// Out of reach of any allocator, so every allocation of it fails at once.
constexpr std::size_t kHuge = std::size_t{1} << 62;

void keep(void* block) { asm volatile("" : : "r"(block) : "memory"); }

TEST(FailureAbort, ExhaustedMemoryWritesOneLineAndAborts) {
  struct Case {
    const char* name;
    void (*allocate)();
  };
  const Case cases[] = {
      {"new", [] { keep(::operator new(kHuge)); }},
      {"new[]", [] { keep(::operator new[](kHuge)); }},
      {"aligned new", [] { keep(::operator new(kHuge, std::align_val_t{64})); }},
      {"aligned new[]", [] { keep(::operator new[](kHuge, std::align_val_t{4096})); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_child(nullptr, c.allocate);
    EXPECT_TRUE(outcome.aborted());
    EXPECT_EQ(outcome.err, "memory allocation of 4611686018427387904 bytes failed\n");
  }
}

TEST(FailureReport, ExhaustedMemoryInsideAScopeThrowsAfterTheSameLine) {
  const Outcome outcome = run_child(nullptr, [] {
    for (int round = 0; round < 2; ++round) {
      try {
        velmora::AllocationFailureScope outer;
        {
          velmora::AllocationFailureScope inner;  // scopes nest
        }
        keep(::operator new(kHuge));
        _exit(3);
      } catch (const velmora::AllocationFailure& failure) {
        if (failure.size() != kHuge ||
            failure.message() != "memory allocation of 4611686018427387904 bytes failed")
          _exit(4);
      }
    }
    keep(::operator new(kHuge));  // every scope closed: the abort again
  });
  EXPECT_TRUE(outcome.aborted());
  const std::string line = "memory allocation of 4611686018427387904 bytes failed\n";
  EXPECT_EQ(outcome.err, line + line + line);
}

TEST(FailureAbort, NothrowAllocationsStillReturnNull) {
  EXPECT_EQ(::operator new(kHuge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new[](kHuge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new(kHuge, std::align_val_t{64}, std::nothrow), nullptr);
  for (std::size_t alignment : {std::size_t{1}, std::size_t{64}, std::size_t{8192}}) {
    void* block = ::operator new(24, std::align_val_t{alignment});
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u);
    ::operator delete(block, std::align_val_t{alignment});
  }
}
#endif

}  // namespace
