// The stored fuzz corpus (tests/fuzz/corpus/<harness>/) as regression tests,
// through the harness entries libFuzzer drives. A file's name says how its
// input must end: "accept-..." without complaint, "reject-..." through the
// failure path. Cut and flipped variants must end cleanly either way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "support/testutil.h"
#include "tests/fuzz/harness.h"

namespace {

using fuzz::Outcome;

// Present only in a sanitized build: where sanitizer reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

class FuzzCorpus : public testing::TestWithParam<fuzz::Harness> {
 protected:
  void SetUp() override {
    fuzz::catchBrokenInvariants();
    for (const auto& e : std::filesystem::directory_iterator(testutil::sourceDir() + "/tests/fuzz/corpus/" + GetParam().name))
      inputs[e.path().filename()] = testutil::readFile(e.path());
  }
  // Runs one input with the console sent nowhere (a sanitizer report still
  // reaches standard error); a broken invariant fails the test.
  bool feed(const std::string& bytes, const std::string& label, Outcome* outcome) {
    std::fflush(nullptr);
    const int out = dup(1), err = dup(2), null = open("/dev/null", O_WRONLY);
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(err)));
    dup2(null, 1), dup2(null, 2);
    bool ok = true;
    try {
      *outcome = GetParam().entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } catch (const fuzz::BrokenInvariant& broken) {
      ok = false;
      ADD_FAILURE() << label << ": " << broken.what;
    }
    std::fflush(nullptr);
    dup2(out, 1), dup2(err, 2);
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(2)));
    for (int fd : {out, err, null}) close(fd);
    return ok;
  }
  std::map<std::string, std::string> inputs;  // by name
};

TEST_P(FuzzCorpus, StoredInputsEndAsTheirNamesSay) {
  int counts[2] = {0, 0};  // rejected, accepted
  for (const auto& [name, bytes] : inputs) {
    const bool accept = name.rfind("accept-", 0) == 0;
    ASSERT_TRUE(accept || name.rfind("reject-", 0) == 0) << name << " says neither";
    Outcome outcome;
    if (!feed(bytes, name, &outcome)) continue;
    EXPECT_EQ(outcome == Outcome::kAccepted, accept) << name << ": " << fuzz::loggedText;
    ++counts[accept];
  }
  EXPECT_GE(std::min(counts[0], counts[1]), 2) << "a corpus of one kind leaves the other path untried";
}

// At most 48 cut points and 48 flipped bytes per input, spread over it.
TEST_P(FuzzCorpus, CutAndFlippedInputsEndCleanly) {
  Outcome outcome;
  for (const auto& [name, bytes] : inputs)
    for (size_t at = 0, step = std::max<size_t>(1, bytes.size() / 48); at < bytes.size(); at += step) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0xA5);
      if (!feed(bytes.substr(0, at), name + " cut at " + std::to_string(at), &outcome) ||
          !feed(flipped, name + " flipped at " + std::to_string(at), &outcome))
        return;
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus, testing::ValuesIn(fuzz::kHarnesses),
                         [](const testing::TestParamInfo<fuzz::Harness>& info) { return std::string(info.param.name); });

}  // namespace
