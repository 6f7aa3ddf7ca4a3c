// The stored fuzz corpus (tests/fuzz/corpus/<harness>/) as regression tests,
// through the harness entries that libFuzzer drives, built here with the
// ordinary compiler. A file's name says how its input must end: "accept-..."
// merges or reads without complaint, "reject-..." ends the run through the
// failure path with a message. Cut and flipped variants must end cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "support/testutil.h"
#include "tests/fuzz/harness.h"

namespace {

using fuzz::Harness;
using fuzz::Outcome;

// Name to bytes, in name order.
std::map<std::string, std::string> storedInputs(const Harness& harness) {
  std::map<std::string, std::string> inputs;
  for (const auto& entry :
       std::filesystem::directory_iterator(testutil::sourceDir() + "/tests/fuzz/corpus/" + harness.name))
    inputs[entry.path().filename()] = testutil::readFile(entry.path());
  return inputs;
}

// Present only in a sanitized build: where sanitizer reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));
void sanitizerReportsTo(int fd) {
  if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
}

// Runs one input with the stages' console texts sent nowhere (a sanitizer
// report still reaches the real standard error); a broken invariant fails
// the test with its description. False when it did.
bool feed(const Harness& harness, const std::string& bytes, const std::string& label, Outcome* outcome) {
  std::fflush(nullptr);
  const int savedOut = dup(1), savedErr = dup(2), null = open("/dev/null", O_WRONLY);
  sanitizerReportsTo(savedErr);
  dup2(null, 1);
  dup2(null, 2);
  bool ok = true;
  try {
    *outcome = harness.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  } catch (const fuzz::BrokenInvariant& broken) {
    ok = false;
    ADD_FAILURE() << label << ": " << broken.what;
  }
  std::fflush(nullptr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  sanitizerReportsTo(2);
  for (int fd : {savedOut, savedErr, null}) close(fd);
  return ok;
}

class FuzzCorpus : public testing::TestWithParam<Harness> {
 protected:
  void SetUp() override { fuzz::catchBrokenInvariants(); }
};

TEST_P(FuzzCorpus, StoredInputsEndAsTheirNamesSay) {
  int counts[2] = {0, 0};  // accepted, rejected
  for (const auto& [name, bytes] : storedInputs(GetParam())) {
    const bool accept = name.rfind("accept-", 0) == 0;
    ASSERT_TRUE(accept || name.rfind("reject-", 0) == 0) << name << " says neither";
    Outcome outcome;
    if (!feed(GetParam(), bytes, name, &outcome)) continue;
    EXPECT_EQ(outcome == Outcome::kAccepted, accept) << name << ", last logged: " << fuzz::loggedText;
    ++counts[accept ? 0 : 1];
  }
  // A corpus of one kind only would leave the other path untried.
  EXPECT_GE(std::min(counts[0], counts[1]), 2) << GetParam().name;
}

TEST_P(FuzzCorpus, CutAndFlippedInputsEndCleanly) {
  for (const auto& [name, bytes] : storedInputs(GetParam())) {
    // At most 48 cut points and 48 flipped bytes per input, spread over it.
    const size_t step = std::max<size_t>(1, bytes.size() / 48);
    Outcome outcome;
    for (size_t at = 0; at < bytes.size(); at += step) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0xA5);
      if (!feed(GetParam(), bytes.substr(0, at), name + " cut at " + std::to_string(at), &outcome) ||
          !feed(GetParam(), flipped, name + " flipped at " + std::to_string(at), &outcome))
        return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus, testing::ValuesIn(fuzz::kHarnesses),
                         [](const testing::TestParamInfo<Harness>& info) { return std::string(info.param.name); });

}  // namespace
