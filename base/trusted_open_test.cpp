#include "base/trusted_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "testing/test.h"

namespace quorvex {
namespace {

// A scratch tree laid out by shell commands run in it, with app/f to open (or create);
// `outcome` is "opened", "refused: " and what the refusal must say, or "failed: " and the
// error with the path it names (TOP for the tree).
struct TreeCase {
  std::string name;
  std::string commands;
  std::string outcome;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
  *out << treeCase.name;
}

// A FIFO without a reader cannot be opened so: a refusal must come before the opening.
constexpr int kFlags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;

std::string OutcomeOfOpening(const std::filesystem::path& top) {
  const std::string refusing = "Refusing test file " + (top / "app/f").string() + ": ";
  try {
    const OpenedFile file = OpenTrusted(top / "app", "f", kFlags, 0600, "test file");
    return file.fd.valid() ? "opened"
                           : "failed: " + std::string(std::strerror(file.error)) + " at " +
                                 file.reached + (file.missingDirectory ? ", a directory" : "");
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EPERM);
    return "refused: " + ReplaceAll(error.description(), refusing, "");
  }
}

class TrustedOpen : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TrustedOpen, OpensOnlyThroughWhatRootAndTheUserAloneCanChange) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "laying trees owned by others takes root";
  }
  TestDir scratch;
  scratch.Lay(GetParam().commands);
  EXPECT_EQ(OutcomeOfOpening(scratch.path()),
            ReplaceAll(GetParam().outcome, "TOP", scratch.path().string()));
}

INSTANTIATE_TEST_SUITE_P(
    Tree, TrustedOpen,
    ::testing::Values(
        TreeCase{"GroupWritableDirectory", "mkdir -m 775 app; chgrp dialout app; touch app/f",
                 "refused: TOP/app is writable by group dialout"},
        TreeCase{"WorldWritableDirectory", "mkdir -m 757 app; touch app/f",
                 "refused: TOP/app is writable by others"},
        TreeCase{"DirectoryOfAnotherUser", "mkdir -m 755 app; chown nobody app; touch app/f",
                 "refused: TOP/app belongs to user nobody"},
        TreeCase{"LinkIntoAGroupWritableDirectory",
                 "mkdir -m 755 app; mkdir -m 775 log; chgrp dialout log; ln -s ../log/f app/f",
                 "refused: TOP/log is writable by group dialout"},
        TreeCase{"LinkOfAnotherUser",
                 "mkdir -m 755 app; touch g; ln -s $PWD/g app/f; chown -h nobody app/f",
                 "refused: TOP/app/f is a link owned by user nobody"},
        TreeCase{"LinkedDirectoryOnTheWay",
                 "mkdir -m 755 app real; mkdir -m 777 open; touch real/f; ln -s ../open/d/f app/f; "
                 "ln -s $PWD/real open/d",
                 "refused: TOP/open is writable by others"},
        TreeCase{"OwnFileInAStickyDirectory", "mkdir -m 1777 app; touch app/f", "opened"},
        TreeCase{"OthersFifoInAStickyDirectory",
                 "mkdir -m 1777 app; mkfifo app/f; chown nobody app/f",
                 "refused: TOP/app/f in a sticky directory belongs to user nobody"},
        TreeCase{"TrustedChainOfLinks",
                 "mkdir -m 755 app etc; touch etc/g; ln -s $PWD/etc/h app/f; ln -s g etc/h",
                 "opened"},
        TreeCase{"StickyDirectoryOfAnotherUser", "mkdir -m 1777 app; chown nobody app; touch app/f",
                 "refused: TOP/app belongs to user nobody"},
        TreeCase{"HardLinkInAStickyDirectory", "mkdir -m 1777 app; touch g; ln g app/f",
                 "refused: TOP/app/f in a sticky directory has other links"},
        TreeCase{"WritableThroughAnAccessControlList",
                 "mkdir -m 755 app; setfacl -m u:nobody:rwx app; touch app/f",
                 "refused: TOP/app is writable through its access control list"},
        TreeCase{"LinkLoop", "mkdir -m 755 app; ln -s f app/f",
                 "failed: Too many levels of symbolic links at TOP/app/f"},
        TreeCase{"MissingDirectoryOnTheWay", "mkdir -m 755 app; ln -s ../gone/f app/f",
                 "failed: No such file or directory at TOP/gone, a directory"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex
