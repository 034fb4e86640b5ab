// The JSON report of the real program on POSIX: names that are no valid
// UTF-8 come back byte for byte through Python's json and surrogateescape,
// and an unreadable directory met as an unprivileged user is listed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testing/spawn_test_util-posix.h"
#include "testing/process_state_test_util-posix.h"
#include "testing/test_tree.h"

namespace report {

namespace {

// Runs twinfind with its standard output in `file`; returns the exit code.
int run_into(const std::vector<std::string>& arguments, const std::string& file) {
  const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open("/dev/null", O_WRONLY);
  const pid_t child = spawn_twinfind(arguments, out, err);
  close(out);
  close(err);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string hex_of(const std::string& bytes) {
  std::string hex;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  return hex;
}

TEST(JsonReportPosix, NamesOfAnyBytesComeBackExactlyThroughPython) {
  if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "no python3";
  test_tree tree;
  const std::string top = "top \xff\xc0\x80 \"q\" \\";  // invalid UTF-8 in the PATH too
  const std::vector<std::string> names = {
      "plain", "new\nline", "\x01\x1f\x7f", "caf\xe9", "\xed\xa0\x80surrogate",
      "trunc\xe2\x82", "ok \xe2\x82\xac \xf0\x9f\x98\x80", "over\xf4\x90\x80\x80", "\xc2\x9b csi"};
  std::vector<std::string> expected;
  for (const std::string& name : names) {
    tree.file(top + "/" + name, 1);
    expected.push_back(hex_of(tree.path(top) + "/" + name));
  }
  std::sort(expected.begin(), expected.end());
  const std::string document = tree.path("report.json");
  ASSERT_EQ(0, run_into({"-J", tree.path(top), "-C", "1"}, document));
  const std::string listed = tree.path("names.txt");
  const std::string script =
      "import json, sys\n"
      "doc = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
      "raw = lambda s: s.encode('utf-8', 'surrogateescape').hex()\n"
      "print(raw(doc['paths'][0]))\n"
      "for f in doc['listings'][0]['files']: print(raw(f['names'][0]))\n";
  const std::string command = "python3 -c \"$SCRIPT\" '" + document + "' > '" + listed + "'";
  {
    const scoped_environment given("SCRIPT", script.c_str());
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  std::ifstream in(listed);
  std::string path_hex;
  std::getline(in, path_hex);
  EXPECT_EQ(hex_of(tree.path(top)), path_hex);
  std::vector<std::string> got;
  for (std::string line; std::getline(in, line);) got.push_back(line);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(expected, got);
}

TEST(JsonReportPosix, AnUnreadableDirectoryIsListedForAnUnprivilegedUser) {
  test_tree tree;
  tree.file("locked/secret");
  tree.file("open/f");
  ASSERT_EQ(chmod(tree.path("locked").c_str(), 0), 0);
  const std::string document = tree.path("open/report.json");
  ASSERT_EQ(chmod(tree.path("open").c_str(), 0777), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(run_into({"-J", "-V", tree.path()}, document));
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(3, WEXITSTATUS(status));
  std::ifstream in(document);
  std::stringstream text;
  text << in.rdbuf();
  // Exactly the document: no progress, no verbose line.
  EXPECT_EQ(0u, text.str().find("{\"twinfind\":1,"));
  EXPECT_NE(std::string::npos,
            text.str().find("\"errors\":[{\"message\":\"Error searching \\\"" + tree.path("locked") +
                            "\\\"\",\"code\":13}]}\n"))
      << text.str();
}

}  // namespace

}  // namespace report
