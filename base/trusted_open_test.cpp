#include "base/trusted_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/run_error.h"
#include "testing/test_dir.h"

namespace quorvex {
namespace {

// A scratch tree in which `lay` plants the file "f" (or its links) below `top`; `doubt` is
// what the refusal must name, with TOP for the tree's path, or empty when the open passes.
struct TreeCase {
  std::string name;
  std::function<void(const std::filesystem::path& top, uid_t other)> lay;
  std::string doubt;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
  *out << treeCase.name;
}

void Dir(const std::filesystem::path& dir, mode_t mode, uid_t owner = 0) {
  std::filesystem::create_directories(dir);
  ASSERT_EQ(::chown(dir.c_str(), owner, 20), 0);
  ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
}

void Link(const std::string& target, const std::filesystem::path& link, uid_t owner = 0) {
  std::filesystem::create_symlink(target, link);
  ASSERT_EQ(::lchown(link.c_str(), owner, 20), 0);
}

void File(const std::filesystem::path& file, uid_t owner = 0) {
  std::ofstream(file) << "x";
  ASSERT_EQ(::chown(file.c_str(), owner, 20), 0);
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t at; (at = text.find(what)) != std::string::npos;) {
    text.replace(at, what.size(), with);
  }
  return text;
}

class TrustedOpen : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TrustedOpen, OpensOnlyThroughWhatRootAndTheUserAloneCanChange) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "laying trees owned by others takes root";
  }
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  TestDir scratch;
  const std::filesystem::path top = scratch.path();
  GetParam().lay(top, nobody->pw_uid);
  const std::string rest = GetParam().doubt;
  try {
    const OpenedFile opened = OpenTrusted(top / "app", "f", O_RDONLY | O_CLOEXEC, 0, "test file");
    EXPECT_EQ(rest, "") << "opened " << opened.reached;
    EXPECT_TRUE(opened.fd.valid()) << opened.error;
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EPERM);
    EXPECT_EQ(error.description(), "Refusing test file " + (top / "app/f").string() + ": " +
                                       Replace(rest, "TOP", top.string()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tree, TrustedOpen,
    ::testing::Values(
        TreeCase{"PlainFile", [](auto top, uid_t) { Dir(top / "app", 0755), File(top / "app/f"); },
                 ""},
        TreeCase{"GroupWritableDirectory",
                 [](auto top, uid_t) { Dir(top / "app", 0775), File(top / "app/f"); },
                 "TOP/app is writable by group dialout"},
        TreeCase{"WorldWritableDirectory",
                 [](auto top, uid_t) { Dir(top / "app", 0757), File(top / "app/f"); },
                 "TOP/app is writable by others"},
        TreeCase{"DirectoryOfAnotherUser",
                 [](auto top, uid_t other) { Dir(top / "app", 0755, other), File(top / "app/f"); },
                 "TOP/app belongs to user nobody"},
        TreeCase{"LinkIntoAGroupWritableDirectory",
                 [](auto top, uid_t) {
                   Dir(top / "app", 0755), Dir(top / "log", 0775), File(top / "log/f");
                   Link("../log/f", top / "app/f");
                 },
                 "TOP/log is writable by group dialout"},
        TreeCase{"LinkOfAnotherUser",
                 [](auto top, uid_t other) {
                   Dir(top / "app", 0755), File(top / "g"), Link(top / "g", top / "app/f", other);
                 },
                 "TOP/app/f is a link owned by user nobody"},
        TreeCase{"LinkedDirectoryOnTheWay",
                 [](auto top, uid_t) {
                   Dir(top / "app", 0755), Dir(top / "real", 0755), Dir(top / "open", 0777);
                   Link("../open/d", top / "app/f"), Link(top / "real", top / "open/d");
                   File(top / "real/f");
                 },
                 "TOP/open is writable by others"},
        TreeCase{"OwnFileInAStickyDirectory",
                 [](auto top, uid_t) { Dir(top / "app", 01777), File(top / "app/f"); }, ""},
        TreeCase{"OthersFileInAStickyDirectory",
                 [](auto top, uid_t other) { Dir(top / "app", 01777), File(top / "app/f", other); },
                 "TOP/app/f in a sticky directory belongs to user nobody"},
        TreeCase{"TrustedChainOfLinks",
                 [](auto top, uid_t) {
                   Dir(top / "app", 0755), Dir(top / "etc", 0755), File(top / "etc/g");
                   Link(top / "etc/h", top / "app/f"), Link("g", top / "etc/h");
                 },
                 ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex
