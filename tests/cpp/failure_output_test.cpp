// The line writer behind failure reports, against a scripted write(2).
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure/output.h"
#include "report_write.h"

namespace {

using velmora::failure_output::kMaxWriteChunk;
using velmora::failure_output::set_write_function;
using velmora::failure_output::StderrLine;

// One scripted answer of the fake write: accept `accept` bytes (-1: all), or fail with `error`.
struct Answer {
  long accept = -1;
  int error = 0;
};

std::vector<Answer> g_script;
std::string g_written;
std::vector<std::size_t> g_requested;
bool g_keep_data = true;

ssize_t scripted_write(int fd, const void* data, std::size_t size) {
  EXPECT_EQ(fd, 2);
  g_requested.push_back(size);
  Answer answer;
  if (!g_script.empty()) {
    answer = g_script.front();
    g_script.erase(g_script.begin());
  }
  if (answer.error != 0) {
    errno = answer.error;
    return -1;
  }
  const std::size_t taken = answer.accept < 0 ? size : static_cast<std::size_t>(answer.accept);
  if (g_keep_data) g_written.append(static_cast<const char*>(data), taken);
  return static_cast<ssize_t>(taken);
}

class StderrLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script.clear();
    g_written.clear();
    g_requested.clear();
    g_keep_data = true;
    set_write_function(&scripted_write);
  }
  void TearDown() override { set_write_function(nullptr); }
};

TEST_F(StderrLineTest, RetriesAndAbandonsAsScripted) {
  struct Case {
    const char* name;
    std::vector<Answer> script;
    std::string expected;  // what reaches descriptor 2 for two lines "ab"+"cd"+"\n", "ef\n"
  };
  const Case cases[] = {
      {"all accepted", {}, "abcd\nef\n"},
      {"short writes are continued", {{1}, {-1}, {1}}, "abcd\nef\n"},
      {"EINTR is retried", {{-1, EINTR}, {-1, EINTR}}, "abcd\nef\n"},
      {"an error drops the rest of the line only", {{-1}, {-1, EIO}}, "abef\n"},
      {"a write of nothing drops the rest of the line", {{0}}, "ef\n"},
      {"EAGAIN is an error like any other", {{-1, EAGAIN}}, "ef\n"},
      {"EBADF on every call loses everything", {{-1, EBADF}, {-1, EBADF}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_script = c.script;
    g_written.clear();
    StderrLine() << "ab" << "cd" << "\n";
    StderrLine() << "ef\n";
    EXPECT_EQ(g_written, c.expected);
  }
}

TEST_F(StderrLineTest, HugePiecesAreSplitAtTheLargestWriteCount) {
  // Address space only: the fake never reads the bytes, so nothing is committed.
  const std::size_t size = kMaxWriteChunk + 1000;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  g_keep_data = false;
  StderrLine line;
  line << std::string_view(static_cast<const char*>(block), size);
  munmap(block, size);
  EXPECT_TRUE(line.intact());
  EXPECT_EQ(g_requested, (std::vector<std::size_t>{2147483646, 1000}));
}

}  // namespace
