#include "base/trusted_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/test.h"

namespace quorvex {
namespace {

// A scratch tree laid out by shell commands run in it, with app/f to open; `doubt` is what
// the refusal must say (TOP for the tree), or empty when the open passes.
struct TreeCase {
  std::string name;
  std::string commands;
  std::string doubt;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
  *out << treeCase.name;
}

// A FIFO without a reader cannot be opened so: a refusal must come before the opening.
constexpr int kFlags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;

class TrustedOpen : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TrustedOpen, OpensOnlyThroughWhatRootAndTheUserAloneCanChange) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "laying trees owned by others takes root";
  }
  TestDir scratch;
  const std::filesystem::path top = scratch.path();
  scratch.Lay(GetParam().commands);
  if (GetParam().doubt.empty()) {
    EXPECT_TRUE(OpenTrusted(top / "app", "f", kFlags, 0, "test file").fd.valid());
    return;
  }
  const RunError error = RunErrorOf([&] { OpenTrusted(top / "app", "f", kFlags, 0, "test file"); });
  EXPECT_EQ(error.number(), EPERM);
  EXPECT_EQ(error.description(), "Refusing test file " + (top / "app/f").string() + ": " +
                                     ReplaceAll(GetParam().doubt, "TOP", top.string()));
}

INSTANTIATE_TEST_SUITE_P(
    Tree, TrustedOpen,
    ::testing::Values(
        TreeCase{"PlainFile", "mkdir -m 755 app; touch app/f", ""},
        TreeCase{"GroupWritableDirectory", "mkdir -m 775 app; chgrp dialout app; touch app/f",
                 "TOP/app is writable by group dialout"},
        TreeCase{"WorldWritableDirectory", "mkdir -m 757 app; touch app/f",
                 "TOP/app is writable by others"},
        TreeCase{"DirectoryOfAnotherUser", "mkdir -m 755 app; chown nobody app; touch app/f",
                 "TOP/app belongs to user nobody"},
        TreeCase{"LinkIntoAGroupWritableDirectory",
                 "mkdir -m 755 app; mkdir -m 775 log; chgrp dialout log; ln -s ../log/f app/f",
                 "TOP/log is writable by group dialout"},
        TreeCase{"LinkOfAnotherUser",
                 "mkdir -m 755 app; touch g; ln -s $PWD/g app/f; chown -h nobody app/f",
                 "TOP/app/f is a link owned by user nobody"},
        TreeCase{"LinkedDirectoryOnTheWay",
                 "mkdir -m 755 app real; mkdir -m 777 open; touch real/f; ln -s ../open/d/f app/f; "
                 "ln -s $PWD/real open/d",
                 "TOP/open is writable by others"},
        TreeCase{"OwnFileInAStickyDirectory", "mkdir -m 1777 app; touch app/f", ""},
        TreeCase{"OthersFifoInAStickyDirectory",
                 "mkdir -m 1777 app; mkfifo app/f; chown nobody app/f",
                 "TOP/app/f in a sticky directory belongs to user nobody"},
        TreeCase{"TrustedChainOfLinks",
                 "mkdir -m 755 app etc; touch etc/g; ln -s $PWD/etc/h app/f; ln -s g etc/h", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex
