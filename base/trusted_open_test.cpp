#include "base/trusted_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "testing/test.h"

namespace quorvex {
namespace {

// A scratch tree TOP laid out as `layout` says, with app/f to open; `doubt` is what the
// refusal must say, or empty when the open passes.
struct TreeCase {
  std::string name;
  std::string layout;
  std::string doubt;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
  *out << treeCase.name;
}

std::string InTop(std::string text, const std::filesystem::path& top) {
  for (size_t at; (at = text.find("TOP")) != std::string::npos;) {
    text.replace(at, 3, top.string());
  }
  return text;
}

// Entries "dir/ MODE", "file MODE" or "link -> TARGET", separated by ";", each owned by
// root, or by nobody when followed by "nobody"; all in group dialout.
void Lay(const std::filesystem::path& top, const std::string& layout) {
  std::istringstream entries(layout);
  for (std::string entry; std::getline(entries, entry, ';');) {
    std::istringstream words(entry);
    std::string name, mode, target, owner;
    words >> name >> mode;
    if (mode == "->") {
      words >> target;
    }
    words >> owner;
    const std::filesystem::path path = top / name;
    if (!target.empty()) {
      std::filesystem::create_symlink(InTop(target, top), path);
    } else if (name.ends_with('/')) {
      std::filesystem::create_directories(path);
    } else {
      std::ofstream(path) << "x";
    }
    ASSERT_EQ(::lchown(path.c_str(), owner == "nobody" ? 65534 : 0, 20), 0);
    ASSERT_TRUE(!target.empty() || ::chmod(path.c_str(), std::stoi(mode, nullptr, 8)) == 0);
  }
}

class TrustedOpen : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TrustedOpen, OpensOnlyThroughWhatRootAndTheUserAloneCanChange) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "laying trees owned by others takes root";
  }
  TestDir scratch;
  const std::filesystem::path top = scratch.path();
  Lay(top, GetParam().layout);
  if (GetParam().doubt.empty()) {
    EXPECT_TRUE(OpenTrusted(top / "app", "f", O_RDONLY | O_CLOEXEC, 0, "test file").fd.valid());
    return;
  }
  const RunError error =
      RunErrorOf([&] { OpenTrusted(top / "app", "f", O_RDONLY, 0, "test file"); });
  EXPECT_EQ(error.number(), EPERM);
  EXPECT_EQ(error.description(),
            "Refusing test file " + (top / "app/f").string() + ": " + InTop(GetParam().doubt, top));
}

INSTANTIATE_TEST_SUITE_P(
    Tree, TrustedOpen,
    ::testing::Values(TreeCase{"PlainFile", "app/ 755; app/f 600", ""},
                      TreeCase{"GroupWritableDirectory", "app/ 775; app/f 600",
                               "TOP/app is writable by group dialout"},
                      TreeCase{"WorldWritableDirectory", "app/ 757; app/f 600",
                               "TOP/app is writable by others"},
                      TreeCase{"DirectoryOfAnotherUser", "app/ 755 nobody; app/f 600",
                               "TOP/app belongs to user nobody"},
                      TreeCase{"LinkIntoAGroupWritableDirectory",
                               "app/ 755; log/ 775; log/f 600; app/f -> ../log/f",
                               "TOP/log is writable by group dialout"},
                      TreeCase{"LinkOfAnotherUser", "app/ 755; g 600; app/f -> TOP/g nobody",
                               "TOP/app/f is a link owned by user nobody"},
                      TreeCase{"LinkedDirectoryOnTheWay",
                               "app/ 755; real/ 755; open/ 777; real/f 600; app/f -> ../open/d/f; "
                               "open/d -> TOP/real",
                               "TOP/open is writable by others"},
                      TreeCase{"OwnFileInAStickyDirectory", "app/ 1777; app/f 600", ""},
                      TreeCase{"OthersFileInAStickyDirectory", "app/ 1777; app/f 600 nobody",
                               "TOP/app/f in a sticky directory belongs to user nobody"},
                      TreeCase{"TrustedChainOfLinks",
                               "app/ 755; etc/ 755; etc/g 600; app/f -> TOP/etc/h; "
                               "etc/h -> g",
                               ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex
