#include "base/trusted_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "testing/test.h"

namespace quorvex {
namespace {

// A scratch tree TOP in which `lay` plants app/f, its directories and links; `doubt` is
// what the refusal must say, or empty when the open passes. Uid 65534 is nobody.
struct TreeCase {
  std::string name;
  std::function<void(const std::filesystem::path& top)> lay;
  std::string doubt;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
  *out << treeCase.name;
}

// A directory, or (with `target`) a link, or else a file: owned by `owner`, group dialout.
void Make(const std::filesystem::path& path, mode_t mode, uid_t owner = 0,
          const std::string& target = "") {
  if (mode & S_IFDIR) {
    std::filesystem::create_directories(path);
  } else if (!target.empty()) {
    std::filesystem::create_symlink(target, path);
  } else {
    std::ofstream(path) << "x";
  }
  ASSERT_EQ(::lchown(path.c_str(), owner, 20), 0);
  ASSERT_TRUE(!target.empty() || ::chmod(path.c_str(), mode & 07777) == 0);
}

class TrustedOpen : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TrustedOpen, OpensOnlyThroughWhatRootAndTheUserAloneCanChange) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "laying trees owned by others takes root";
  }
  TestDir scratch;
  const std::filesystem::path top = scratch.path();
  GetParam().lay(top);
  std::string doubt = GetParam().doubt;
  for (size_t at; (at = doubt.find("TOP")) != std::string::npos;) {
    doubt.replace(at, 3, top.string());
  }
  if (doubt.empty()) {
    EXPECT_TRUE(OpenTrusted(top / "app", "f", O_RDONLY | O_CLOEXEC, 0, "test file").fd.valid());
    return;
  }
  const RunError error =
      RunErrorOf([&] { OpenTrusted(top / "app", "f", O_RDONLY, 0, "test file"); });
  EXPECT_EQ(error.number(), EPERM);
  EXPECT_EQ(error.description(), "Refusing test file " + (top / "app/f").string() + ": " + doubt);
}

constexpr mode_t kDir = S_IFDIR;

INSTANTIATE_TEST_SUITE_P(
    Tree, TrustedOpen,
    ::testing::Values(
        TreeCase{"PlainFile",
                 [](auto top) { Make(top / "app", kDir | 0755), Make(top / "app/f", 0600); }, ""},
        TreeCase{"GroupWritableDirectory",
                 [](auto top) { Make(top / "app", kDir | 0775), Make(top / "app/f", 0600); },
                 "TOP/app is writable by group dialout"},
        TreeCase{"WorldWritableDirectory",
                 [](auto top) { Make(top / "app", kDir | 0757), Make(top / "app/f", 0600); },
                 "TOP/app is writable by others"},
        TreeCase{"DirectoryOfAnotherUser",
                 [](auto top) { Make(top / "app", kDir | 0755, 65534), Make(top / "app/f", 0600); },
                 "TOP/app belongs to user nobody"},
        TreeCase{"LinkIntoAGroupWritableDirectory",
                 [](auto top) {
                   Make(top / "app", kDir | 0755), Make(top / "log", kDir | 0775);
                   Make(top / "log/f", 0600), Make(top / "app/f", 0, 0, "../log/f");
                 },
                 "TOP/log is writable by group dialout"},
        TreeCase{"LinkOfAnotherUser",
                 [](auto top) {
                   Make(top / "app", kDir | 0755), Make(top / "g", 0600);
                   Make(top / "app/f", 0, 65534, top / "g");
                 },
                 "TOP/app/f is a link owned by user nobody"},
        TreeCase{"LinkedDirectoryOnTheWay",
                 [](auto top) {
                   Make(top / "app", kDir | 0755), Make(top / "real", kDir | 0755);
                   Make(top / "open", kDir | 0777), Make(top / "real/f", 0600);
                   Make(top / "app/f", 0, 0, "../open/d/f"),
                       Make(top / "open/d", 0, 0, top / "real");
                 },
                 "TOP/open is writable by others"},
        TreeCase{"OwnFileInAStickyDirectory",
                 [](auto top) { Make(top / "app", kDir | 01777), Make(top / "app/f", 0600); }, ""},
        TreeCase{
            "OthersFileInAStickyDirectory",
            [](auto top) { Make(top / "app", kDir | 01777), Make(top / "app/f", 0600, 65534); },
            "TOP/app/f in a sticky directory belongs to user nobody"},
        TreeCase{"TrustedChainOfLinks",
                 [](auto top) {
                   Make(top / "app", kDir | 0755), Make(top / "etc", kDir | 0755);
                   Make(top / "etc/g", 0600), Make(top / "app/f", 0, 0, top / "etc/h");
                   Make(top / "etc/h", 0, 0, "g");
                 },
                 ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex
