// Helpers shared by the unit tests: a scratch folder per test and whole-file reads for checking results.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

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
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string &path() const { return dir_; }
    std::string sub(const std::string &rel) const { return dir_ + "\\" + rel; }
    // Host path of a sub-path (separators the host understands), for std::filesystem and stdio.
    std::string host(const std::string &rel) const {
        std::string r = dir_ + "/" + rel;
#ifdef _WIN32
        for (char &c : r)
            if (c == '/') c = '\\';
#else
        for (char &c : r)
            if (c == '\\') c = '/';
#endif
        return r;
    }

private:
    std::string dir_;
};

inline std::string slurp(const std::string &host_path) {
    std::string data;
    FILE *f = fopen(host_path.c_str(), "rb");
    if (!f) return data;
    char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) data.append(b, n);
    fclose(f);
    return data;
}

inline void spill(const std::string &host_path, const std::string &data) {
    FILE *f = fopen(host_path.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}
