// The option scanner and both passes over the options and the parameter file; runs they end are death tests.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "driver/driver.h"
#include "support/testutil.h"

// What the scan set and where it ended, or what a run it ends logs (usage errors show on standard error only).
// The file's words follow the command line's, so they win; its first word (a saved command line's program name) is
// never interpreted; it holds up to 80 words of up to 79 characters. Text buffers hold their longest argument exactly.
TEST(OptionsDeathTest, ArgumentsSetTheRecordOrEndTheRun) {
  testutil::TempDir dir;
  ReconParams p{};
  const std::string params = dir.file("params"), paramsError = "Error: parameter file " + params;
  const auto parse = [&](std::vector<std::string> args, const std::string& file) {
    if (!file.empty()) testutil::writeFile(params, file), args.push_back(params);
    args.insert(args.begin(), "korvan"), std::strcpy(runNames.inSpec, "NULL");
    std::vector<char*> argv{nullptr};
    for (auto& word : args) argv.insert(argv.end() - 1, &word[0]);
    std::free(p.outDir), std::free(p.serverUrl), initReconParams(p), scanner::reset();
    parseArguments(p, static_cast<int>(args.size()), argv.data());
  };
  const std::string pattern = std::string(75, 'p') + "%d", out = "/" + std::string(300, 'o'), port = "http://host:";
  const std::string x78 = "x" + std::regex_replace(std::string(78, 'q'), std::regex("q"), " -q");
  // The state: flags, -f, -a, -n ("!": given), -i, -U, then where the scan ended.
  const struct { const char* name; std::vector<std::string> args; std::string file, result, err; } rows[] = {
      {"flags grouped", {"-qvR"}, "", "q v R -1 -1 0 NULL - 2"},
      {"argument attached, or beginning with '-'", {"-qf12", "-a", "-5", "rest"}, "", "q 12 -5 0 NULL - 4"},
      {"\"--\" is consumed and ends the scan", {"-q", "--", "-v"}, "", "q -1 -1 0 NULL - 3"},
      {"a lone \"-\" ends it unconsumed", {"-q", "-", "-v"}, "", "q -1 -1 0 NULL - 2"},
      {"a word that is no option ends it", {"-i", "p%d.vff", "extra", "-f", "1"}, "", "-1 -1 0 p%d.vff - 3"},
      {"numbers read as by atoi, atof", {"-n", "15.7", "-f", "abc", "-a", "12.5xyz"}, "", "0 12.5 15! NULL - 7"},
      {"the separator of the option list is no letter", {"-:"}, "", "", "^Unrecognised option -- :\n$"},
      {"-i: 511", {"-i", std::string(510, 'a') + "%d"}, "", "Error: -i argument is too long (at most 511 characters)"},
      {"-o: 255", {"-o", out}, "", "Error: the full path of outfile " + out + " is too long (at most 255 characters)"},
      {"no conversion", {"-i", "p"}, "", "Error: -i pattern p must hold exactly one integer conversion such as %d"},
      {"two", {"-w", "%d%d"}, "", "Error: -w pattern %d%d must hold exactly one integer conversion such as %d"},
      {"a long one", {"-i", "%ld"}, "", "Error: -i pattern %ld must hold exactly one integer conversion such as %d"},
      {"port 0", {"-U", port + "0"}, "", "Error: server address http://host:0 is not of the form http://host:port"},
      {"65536", {"-U", port + "65536"}, "",
       "Error: server address http://host:65536 is not of the form http://host:port"},
      {"the file wins", {"-a", "10", "-f", "3", "-F"}, "x -a 20\n-f 7", "7 20 0 NULL - 5"},
      {"the file's first word never taken as an option", {"-F"}, "-a -f 3\n", "3 -1 0 NULL - 3"},
      {"80 words, the last of 79 characters", {"-F"}, x78 + " -i" + pattern, "q -1 -1 0 " + pattern + " - 80"},
      {"81 words", {"-F"}, x78 + " -q -q", paramsError + " holds more than 80 words"},
      {"80 chars", {"-F"}, "x -i" + pattern + "p", paramsError + " has a word longer than 79 characters"},
      {"command-line-only options unknown in the file", {"-F"}, "x -F params", "", "^Unrecognised option -- F\n$"},
      {"ports 1 to 65535 only (last: a client is made)", {"-U", port + "1"}, "", "-1 -1 0 NULL " + port + "1 3"},
      {"the highest", {"-U", port + "65535"}, "", "-1 -1 0 NULL " + port + "65535 3"},
  };
  for (const auto& row : rows) {
    if (!row.err.empty() || row.result.rfind("Error", 0) == 0) {
      const auto logged = row.err.empty() ? std::vector<std::string>{row.result} : std::vector<std::string>{};
      EXPECT_EQ(testutil::loggedEnd([&] { parse(row.args, row.file); }, 0, row.err), logged) << row.name; continue;
    }
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir.path(), dir.file("korvan.log")).c_str(), 1);
    parse(row.args, row.file);
    std::ostringstream state;
    state << (p.convolution ? "q " : "") << (p.full360 ? "v " : "") << (p.reflect ? "R " : "") << p.firstFile << " "
          << p.axisUser << " " << p.startAngleUser << (p.startAngleGiven ? "! " : " ")
          << runNames.inSpec << " " << (p.serverUrl ? p.serverUrl : "-") << " " << scanner::optind;
    EXPECT_EQ(state.str(), row.result) << row.name;
  }
  std::free(p.outDir), std::free(p.serverUrl);
}

TEST(ManualPage, NamesEveryOptionLetter) {
  const std::string page = testutil::readFile(testutil::sourceDir() + "/man/korvan.1");
  for (char c : commandLineOptions())
    EXPECT_TRUE(c == ':' || std::regex_search(page, std::regex(std::string("\\\\-") + c + "[^A-Za-z]"))) << c;
}
