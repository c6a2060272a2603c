// Helpers shared by the unit tests: bytes written field by field, scratch folders, whole files, the
// setup log caught in memory and a progress recorder. File access here goes through stdio and
// std::filesystem, never through the setup's own file layer, so that the tests of that layer check it
// against something else.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

typedef std::vector<uint8_t> Bytes;

// ---- Bytes ----

// The n low bytes of v at `at` in b (a byte vector or a string), growing b to hold them.
template <class Buf> void put_le(Buf &b, size_t at, uint64_t v, int n) {
    if (b.size() < at + n) b.resize(at + n, 0);
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<typename Buf::value_type>(v >> (8 * i));
}
template <class Buf> void put_be(Buf &b, size_t at, uint64_t v, int n) {
    if (b.size() < at + n) b.resize(at + n, 0);
    for (int i = 0; i < n; ++i) b[at + n - 1 - i] = static_cast<typename Buf::value_type>(v >> (8 * i));
}
// The n low bytes of v, most significant first, for bytes put together by concatenation.
inline std::string be_bytes(uint64_t v, int n) {
    std::string b;
    put_be(b, 0, v, n);
    return b;
}
// The little-endian number in the n bytes at p.
inline uint64_t read_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// n bytes that differ with the seed and from byte to byte, so that a misplaced chunk shows.
inline Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

inline std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// ---- Files and folders ----

// The path with the host's separators ('\' on Windows, '/' elsewhere); the tests write either.
inline std::string host_path(std::string p) {
#ifdef _WIN32
    std::replace(p.begin(), p.end(), '/', '\\');
#else
    std::replace(p.begin(), p.end(), '\\', '/');
#endif
    return p;
}

// What `contents` gives for a file that cannot be read: never equal to the bytes of a real one.
const std::string NO_FILE = "<none>";

// The bytes of the plain file (a device such as /dev/full would never end), or NO_FILE.
inline std::string contents(const std::string &path) {
    std::string host = host_path(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(host, ec)) return NO_FILE;
    FILE *f = fopen(host.c_str(), "rb");
    if (!f) return NO_FILE;
    std::string data;
    char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) data.append(b, n);
    bool failed = ferror(f) != 0;
    fclose(f);
    return failed ? NO_FILE : data;
}

// Writes the file whole, making its missing parent folders; a failure fails the test.
inline void put(const std::string &path, const std::string &data) {
    std::string host = host_path(path);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ec);
    FILE *f = fopen(host.c_str(), "wb");
    bool ok = f && fwrite(data.data(), 1, data.size(), f) == data.size();
    if (f) ok = fclose(f) == 0 && ok;
    EXPECT_TRUE(ok) << "cannot write " << path;
}
inline void put(const std::string &path, const Bytes &data) { put(path, str(data)); }

// Read-only (and hidden on Windows), as a CD copy or an earlier install leaves files.
inline void make_read_only(const std::string &path) {
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
#else
    chmod(host_path(path).c_str(), 0444);
#endif
}

// A fresh folder for one test, removed with everything in it when the test ends. path() uses the
// platform's separators ('\' on Windows, '/' natively); sub() joins with '\', which both accept.
class TempDir {
public:
    TempDir() {
        static int counter;
#ifdef _WIN32
        char base[MAX_PATH];
        GetTempPathA(sizeof base, base);
        for (int i = 0;; ++i) {
            dir_ = std::string(base) + "zut" + std::to_string(GetCurrentProcessId()) + "_" +
                   std::to_string(++counter) + "_" + std::to_string(i);
            if (CreateDirectoryA(dir_.c_str(), nullptr)) break;
        }
#else
        std::string tmpl = (std::filesystem::temp_directory_path() / "zut_XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        dir_ = mkdtemp(buf.data());
        ++counter;
#endif
    }
    ~TempDir() {
        // delete_tree clears the read-only files that std::filesystem cannot remove on Windows; what it
        // leaves (paths too long for it) goes the other way.
        if (delete_tree(dir_.c_str())) return;
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return dir_; }
    std::string sub(const std::string &rel) const { return dir_ + "\\" + rel; }
    // Host path of a sub-path (separators the host understands), for std::filesystem and stdio.
    std::string host(const std::string &rel) const { return host_path(dir_ + "/" + rel); }

private:
    std::string dir_;
};

// The current folder moved for a while, and back at the end whatever happens in between.
class InFolder {
public:
    explicit InFolder(const std::string &path) {
        char b[1024];
#ifdef _WIN32
        old_ = _getcwd(b, sizeof b) ? b : "";
        entered_ = _chdir(host_path(path).c_str()) == 0;
#else
        old_ = getcwd(b, sizeof b) ? b : "";
        entered_ = chdir(host_path(path).c_str()) == 0;
#endif
        EXPECT_TRUE(entered_) << "cannot enter " << path;
    }
    ~InFolder() {
#ifdef _WIN32
        EXPECT_EQ(_chdir(old_.c_str()), 0);
#else
        EXPECT_EQ(chdir(old_.c_str()), 0);
#endif
    }
    InFolder(const InFolder &) = delete;
    InFolder &operator=(const InFolder &) = delete;
    // For a test that must not go on in the wrong folder (relative paths there name other files).
    bool entered() const { return entered_; }

private:
    std::string old_;
    bool entered_;
};

// ---- The setup log ----

// Every line the setup logs while it lives, caught through the log's mirror: in memory, natively and
// under Wine alike, whether a log file is open or not. The mirror is one hook, so one capture at a
// time. It also notes a line mirrored while another one still was, which the log's lock rules out.
class LogCapture {
public:
    LogCapture() {
        EXPECT_EQ(active(), nullptr) << "one log capture at a time";
        active() = this;
        setup_log_mirror(&LogCapture::hear);
    }
    ~LogCapture() {
        setup_log_mirror(nullptr);
        active() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    // The lines so far, each ended by '\n'.
    std::string text() const {
        std::string t;
        for (const std::string &l : lines()) t += l + "\n";
        return t;
    }
    // The lines since the last take.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> taken;
        taken.swap(lines_);
        return taken;
    }
    bool overlapped() const { return overlapped_; }

private:
    static LogCapture *&active() {
        static LogCapture *a;
        return a;
    }
    static void hear(const char *line) {
        LogCapture *c = active();
        if (c->inside_.fetch_add(1) != 0) c->overlapped_ = true;
        {
            std::lock_guard<std::mutex> hold(c->lock_);
            c->lines_.push_back(line);
        }
        c->inside_.fetch_sub(1);
    }
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
};

// ---- Progress ----

// A progress record whose callback keeps every call: the running sums in order, the last total, and
// how many calls came on another thread than the one that made the record.
struct Tally {
    Progress p;
    std::vector<uint64_t> done;
    uint64_t total = 0;
    int elsewhere = 0;
    std::thread::id home = std::this_thread::get_id();

    explicit Tally(uint64_t start = 0, uint64_t total_ = 0) : p{start, total_, &Tally::hear, this}, start_(start) {}
    Tally(const Tally &) = delete;
    Tally &operator=(const Tally &) = delete;
    // What each call added.
    std::vector<uint64_t> adds() const {
        std::vector<uint64_t> a;
        uint64_t last = start_;
        for (uint64_t d : done) {
            a.push_back(d - last);
            last = d;
        }
        return a;
    }

private:
    uint64_t start_;
    static void hear(uint64_t done, uint64_t total, void *user) {
        Tally *t = static_cast<Tally *>(user);
        t->done.push_back(done);
        t->total = total;
        if (std::this_thread::get_id() != t->home) ++t->elsewhere;
    }
};
