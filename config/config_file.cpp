#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"
#include "base/run_error.h"
#include "base/trusted_open.h"
#include "config/reader.h"

namespace quorvex {
namespace {

RunError TooLarge(const std::string& file) {
  return RunError(EFBIG, "Configuration file " + file + " is larger than 1 MiB", Failure::kSetting);
}

// Reads at most one byte past the limit, so a file that grows meanwhile is caught too.
std::string ReadAtMostLimit(int fd, const std::string& file) {
  std::string bytes;
  if (const int error = ReadAtMost(fd, kLargestConfiguration, bytes)) {
    throw OsError(error, "Cannot read configuration file " + file, Failure::kSetting);
  }
  if (bytes.size() > kLargestConfiguration) {
    throw TooLarge(file);
  }
  return bytes;
}

}  // namespace

std::optional<FileBytes> ReadRegularFile(const std::filesystem::path& dir,
                                         const std::string& name) {
  // O_NONBLOCK: a FIFO in the file's place must not hold the run in open().
  const OpenedFile file =
      OpenTrusted(dir, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0, "configuration file");
  if (!file.fd.valid() && file.error == ENOENT) {
    return std::nullopt;
  }
  if (!file.fd.valid()) {
    throw OsError(file.error, "Cannot open configuration file " + file.reached, Failure::kSetting);
  }
  struct stat info {};
  if (::fstat(file.fd.get(), &info) != 0) {
    throw LastOsError([&] { return "Cannot examine configuration file " + file.reached; },
                      Failure::kSetting);
  }
  if (!S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (static_cast<uintmax_t>(info.st_size) > kLargestConfiguration) {
    throw TooLarge(file.reached);
  }
  return FileBytes{ReadAtMostLimit(file.fd.get(), file.reached), file.reached};
}

LoadedSettings LoadSettings(const std::filesystem::path& dir) {
  using Missing = LoadedSettings::Missing;
  const std::optional<FileBytes> file = ReadRegularFile(dir, "Quorvex.ini");
  if (!file) {
    return {{}, Missing::kFile};
  }
  Settings settings;
  try {
    settings = ReadConfiguration(file->bytes);
  } catch (const RunError& error) {
    throw RunError(error.number(), file->path + ": " + error.description(), error.failure());
  }
  const Missing missing = settings.ComPort == 0       ? Missing::kComPort
                          : settings.SMSPhone.empty() ? Missing::kSMSPhone
                                                      : Missing::kNothing;
  return {settings, missing};
}

}  // namespace quorvex
