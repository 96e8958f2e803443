#include "app/exit_status.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace quorvex {
namespace {

// The statuses that `pattern`'s first group finds in `file` between `from` and `to`.
std::set<std::string> StatusesIn(const std::string& file, const std::string& from,
                                 const std::string& to, const std::regex& pattern) {
  std::ifstream stream(std::string(QUORVEX_SOURCE_DIR) + "/" + file);
  std::ostringstream text;
  text << stream.rdbuf();
  const std::string all = text.str();
  const size_t start = all.find(from);
  EXPECT_NE(start, std::string::npos) << from << " in " << file;
  const std::string part = all.substr(start, all.find(to, start + from.size()) - start);
  std::set<std::string> found;
  for (std::sregex_iterator it(part.begin(), part.end(), pattern), end; it != end; ++it) {
    found.insert((*it)[1]);
  }
  return found;
}

// Scripts read the README and the man page; both must list exactly the statuses Quorvex uses.
TEST(ExitStatuses, TheReadmeAndTheManPageListThemAll) {
  std::set<std::string> used{"128"};
  for (const ExitStatusRow& row : kExitStatuses) {
    used.insert(std::to_string(row.status));
  }
  EXPECT_EQ(StatusesIn("README.md", "### Exit status", "\n\n7", std::regex(R"(\| (\d+)[^|\n]*\|)")),
            used);
  EXPECT_EQ(StatusesIn("doc/Quorvex.1", ".SH EXIT STATUS", ".SH ", std::regex(R"(\n\.B (\d+))")),
            used);
}

}  // namespace
}  // namespace quorvex
