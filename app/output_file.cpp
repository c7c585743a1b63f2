#include "app/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace {

// Temporary files open at this moment, for the signal handler: fixed slots, since a handler
// may not allocate. One image writes at most one file per component.
constexpr int kSlots = 40;
char g_temp_paths[kSlots][PATH_MAX];
volatile sig_atomic_t g_temp_used[kSlots];

void register_temp(const std::string& path) {
    if (path.size() >= PATH_MAX) return;
    for (int i = 0; i < kSlots; i++) {
        if (!g_temp_used[i]) {
            std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
            g_temp_used[i] = 1;
            return;
        }
    }
}

void unregister_temp(const std::string& path) {
    for (int i = 0; i < kSlots; i++)
        if (g_temp_used[i] && path == g_temp_paths[i]) g_temp_used[i] = 0;
}

extern "C" void remove_temps_and_reraise(int sig) {
    for (int i = 0; i < kSlots; i++)
        if (g_temp_used[i]) unlink(g_temp_paths[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The path a write through `path` lands on: symbolic links followed (a dangling one to the
// file it would create), so that the rename replaces the file and keeps the link.
bool resolve_links(const char* path, std::string* out) {
    std::string p = path;
    for (int depth = 0; depth < 40; depth++) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *out = p;
            return true;
        }
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = readlink(p.c_str(), link.data(), PATH_MAX);
        if (n <= 0) return false;
        const std::string text(link.data(), static_cast<size_t>(n));
        p = text[0] == '/' ? text : directory_of(p) + "/" + text;
    }
    return false;  // a loop of links: the open would fail too
}

mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

int output_open(OutputFile* f, const char* path) {
    *f = OutputFile();
    if (!path || !path[0] || !resolve_links(path, &f->target)) return 0;
    struct stat st;
    const bool exists = stat(f->target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return 0;
    if (exists && !S_ISREG(st.st_mode)) {
        f->file = std::fopen(f->target.c_str(), "wb");
        return f->file ? 1 : 0;
    }
    std::string templ = directory_of(f->target) + "/.dravex-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) return 0;
    f->temp = name.data();
    register_temp(f->temp);
    // The replacement keeps the permissions of the file it replaces; a new file gets those a
    // plain create would give.
    if (fchmod(fd, exists ? (st.st_mode & 07777) : new_file_mode()) != 0 ||
        !(f->file = fdopen(fd, "wb"))) {
        close(fd);
        output_abandon(f);
        return 0;
    }
    return 1;
}

int output_commit(OutputFile* f) {
    if (!f->file) return 0;
    FILE* file = f->file;
    f->file = nullptr;
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    // An existing file is replaced only by bytes that are on the disk, so that a crash right
    // after the rename cannot lose both the old content and the new.
    struct stat st;
    if (ok && !f->temp.empty() && stat(f->target.c_str(), &st) == 0) ok = fsync(fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    if (ok && !f->temp.empty()) ok = std::rename(f->temp.c_str(), f->target.c_str()) == 0;
    if (!ok) {
        output_abandon(f);
        return 0;
    }
    unregister_temp(f->temp);
    f->temp.clear();
    return 1;
}

void output_abandon(OutputFile* f) {
    if (f->file) std::fclose(f->file);
    f->file = nullptr;
    if (!f->temp.empty()) {
        unlink(f->temp.c_str());
        unregister_temp(f->temp);
        f->temp.clear();
    }
}

void output_clean_up_on_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN) continue;
        sa.sa_handler = remove_temps_and_reraise;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(sig, &sa, nullptr);
    }
}
