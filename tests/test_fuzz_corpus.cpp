// The stored fuzz corpus (tests/fuzz/corpus/<harness>/) as regression tests,
// through the same harness entries that libFuzzer drives, built here with
// the ordinary compiler. Each file's name says how its input must end:
// "accept-..." merges or reads without complaint, "reject-..." ends the run
// through the failure path with a message. Cut and flipped variants of the
// stored inputs must end cleanly either way.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/testutil.h"
#include "tests/fuzz/harness.h"

namespace fuzz {

// Readable test messages.
void PrintTo(const Outcome& outcome, std::ostream* os) {
  *os << (outcome == Outcome::kAccepted ? "accepted" : "rejected");
}
void PrintTo(const Harness& harness, std::ostream* os) { *os << harness.name; }

}  // namespace fuzz

namespace {

using fuzz::Harness;
using fuzz::Outcome;

struct StoredInput {
  std::string name;
  std::string bytes;
};

std::vector<StoredInput> storedInputs(const std::string& harness) {
  const std::string folder = testutil::sourceDir() + "/tests/fuzz/corpus/" + harness;
  std::vector<StoredInput> inputs;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name[0] != '.') inputs.push_back({name, testutil::readFile(folder + "/" + name)});
    }
    closedir(dir);
  }
  std::sort(inputs.begin(), inputs.end(), [](const StoredInput& a, const StoredInput& b) { return a.name < b.name; });
  return inputs;
}

// Present only in a sanitized build: where sanitizer reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

// The stages print their console texts (usage, help, the plan line, reading
// progress, failure messages); while an input runs they go nowhere. A
// sanitizer report still reaches the real standard error.
class QuietConsole {
 public:
  QuietConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = dup(1);
    savedErr_ = dup(2);
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(savedErr_)));
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
  }
  ~QuietConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(2)));
    close(savedOut_);
    close(savedErr_);
  }

 private:
  int savedOut_;
  int savedErr_;
};

// Runs one input; a broken invariant fails the test with its description.
bool feed(const Harness& harness, const std::string& bytes, Outcome* outcome, const std::string& label) {
  try {
    QuietConsole quiet;
    *outcome = harness.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
  } catch (const fuzz::BrokenInvariant& broken) {
    ADD_FAILURE() << label << ": " << broken.what;
    return false;
  }
}

class FuzzCorpus : public testing::TestWithParam<Harness> {
 protected:
  void SetUp() override { fuzz::catchBrokenInvariants(); }
};

TEST_P(FuzzCorpus, StoredInputsEndAsTheirNamesSay) {
  const std::vector<StoredInput> inputs = storedInputs(GetParam().name);
  int accepted = 0, rejected = 0;
  for (const StoredInput& input : inputs) {
    const bool acceptExpected = input.name.rfind("accept-", 0) == 0;
    ASSERT_TRUE(acceptExpected || input.name.rfind("reject-", 0) == 0) << input.name << " says neither";
    Outcome outcome;
    if (!feed(GetParam(), input.bytes, &outcome, input.name)) continue;
    EXPECT_EQ(outcome, acceptExpected ? Outcome::kAccepted : Outcome::kRejected)
        << input.name << ", last logged: " << fuzz::lastLoggedText();
    (acceptExpected ? accepted : rejected) += 1;
  }
  // A corpus of one kind only would leave the other path of the harness
  // untried.
  EXPECT_GE(accepted, 2) << GetParam().name;
  EXPECT_GE(rejected, 2) << GetParam().name;
}

TEST_P(FuzzCorpus, CutAndFlippedInputsEndCleanly) {
  for (const StoredInput& input : storedInputs(GetParam().name)) {
    const std::string& bytes = input.bytes;
    // At most 48 cut points and 48 flipped bytes per input, spread over it.
    const size_t step = std::max<size_t>(1, bytes.size() / 48);
    Outcome outcome;
    for (size_t cut = 0; cut < bytes.size(); cut += step)
      if (!feed(GetParam(), bytes.substr(0, cut), &outcome, input.name + " cut at " + std::to_string(cut))) return;
    for (size_t at = 0; at < bytes.size(); at += step) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0xA5);
      if (!feed(GetParam(), flipped, &outcome, input.name + " flipped at " + std::to_string(at))) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus, testing::ValuesIn(fuzz::kHarnesses),
                         [](const testing::TestParamInfo<Harness>& info) { return std::string(info.param.name); });

}  // namespace
