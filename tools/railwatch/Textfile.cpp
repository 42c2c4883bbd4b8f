// The readings as a Prometheus textfile, replaced atomically (see Textfile.h).
#include "Textfile.h"

#include "Output.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace railwatch {

namespace {

// One open temporary file next to the target. Unless committed, it is removed when the
// object ends, so no failure leaves one behind.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Each returns what went wrong, or an empty string.
    const std::string& CreateError() const { return error_; }
    std::string Write(const std::string& text);
    std::string RenameOverTarget();  // closes the file first

  private:
    std::string Close();

    std::string target_;
    std::string path_;
    std::string error_;
    bool renamed_ = false;
#ifdef _WIN32
    std::wstring widePath_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
};

#ifdef _WIN32

std::string SystemMessage(DWORD error) {
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

std::string LastError() { return SystemMessage(GetLastError()); }

// The tool's file names come from the command line in the ANSI code page.
std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string TemporaryName(const std::string& target) {
    return target + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
}

TemporaryFile::TemporaryFile(const std::string& target)
    : target_(target), path_(TemporaryName(target)), widePath_(Wide(path_)) {
    handle_ = CreateFileW(widePath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        error_ = LastError();
    }
}

TemporaryFile::~TemporaryFile() {
    Close();
    if (error_.empty() && !renamed_) {
        DeleteFileW(widePath_.c_str());
    }
}

std::string TemporaryFile::Write(const std::string& text) {
    DWORD written = 0;
    if (!WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(handle_)) {
        return LastError();
    }
    return {};
}

std::string TemporaryFile::Close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return {};
    }
    const bool closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed ? std::string() : LastError();
}

// A plain rename refuses an existing target on Windows; MoveFileExW replaces it, and
// fails (leaving it as it was) while a collector holds it open without sharing delete.
std::string TemporaryFile::RenameOverTarget() {
    std::string error = Close();
    if (error.empty() && !MoveFileExW(widePath_.c_str(), Wide(target_).c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = LastError();
    }
    renamed_ = error.empty();
    return error;
}

#else

std::string SystemMessage(int error) { return std::strerror(error); }

bool IsDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string TemporaryName(const std::string& target) {
    return target + "." + std::to_string(getpid()) + ".tmp";
}

TemporaryFile::TemporaryFile(const std::string& target)
    : target_(target), path_(TemporaryName(target)) {
    // Readable by the collector, which need not run as this user. A file of that name
    // can only be left over from an earlier process with our process ID.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    fd_ = open(path_.c_str(), flags, 0644);
    if (fd_ < 0 && errno == EEXIST && unlink(path_.c_str()) == 0) {
        fd_ = open(path_.c_str(), flags, 0644);
    }
    if (fd_ < 0) {
        error_ = SystemMessage(errno);
    }
}

TemporaryFile::~TemporaryFile() {
    Close();
    if (error_.empty() && !renamed_) {
        unlink(path_.c_str());
    }
}

std::string TemporaryFile::Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return SystemMessage(written < 0 ? errno : ENOSPC);
        }
        done += static_cast<size_t>(written);
    }
    // On disk before the rename, so that a crash leaves the old file or the new one.
    return fsync(fd_) == 0 ? std::string() : SystemMessage(errno);
}

std::string TemporaryFile::Close() {
    if (fd_ < 0) {
        return {};
    }
    const int result = close(fd_);
    fd_ = -1;
    return result == 0 ? std::string() : SystemMessage(errno);
}

std::string TemporaryFile::RenameOverTarget() {
    std::string error = Close();
    if (error.empty() && rename(path_.c_str(), target_.c_str()) != 0) {
        error = SystemMessage(errno);
    }
    renamed_ = error.empty();
    return error;
}

#endif

void AddGauge(std::string& text, const char* name, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n";
    text += std::string("# TYPE ") + name + " gauge\n";
}

}  // namespace

std::string PrometheusText(const Reading& reading) {
    std::string text;
    AddGauge(text, "railwatch_up",
             "Whether the power supplies could be read (1) or not (0, no supply samples).");
    text += reading.Known() ? "railwatch_up 1\n" : "railwatch_up 0\n";
    AddGauge(text, "railwatch_supply_good",
             "Whether the power supply's good signal is asserted (1) or not (0).");
    if (reading.Known()) {
        for (int supply = 0; supply < 2; ++supply) {
            text += std::string("railwatch_supply_good{supply=\"") + kSupplyNames[supply] + "\"} " +
                    (reading.good[supply] ? "1" : "0") + "\n";
        }
    }
    return text;
}

std::string CheckTextfilePath(const std::string& path) {
    if (IsDirectory(path)) {
        return "textfile " + path + ": is a directory";
    }
    const TemporaryFile probe(path);
    if (!probe.CreateError().empty()) {
        return "textfile " + path +
               ": cannot create a file in its directory: " + probe.CreateError();
    }
    return {};
}

std::string ReplaceFileAtomically(const std::string& path, const std::string& text) {
    TemporaryFile file(path);
    std::string error = file.CreateError();
    if (error.empty()) {
        error = file.Write(text);
    }
    if (error.empty()) {
        error = file.RenameOverTarget();
    }
    return error.empty() ? error : "textfile " + path + ": cannot write: " + error;
}

std::string WriteTextfile(const std::string& path, const Reading& reading) {
    return ReplaceFileAtomically(path, PrometheusText(reading));
}

}  // namespace railwatch
