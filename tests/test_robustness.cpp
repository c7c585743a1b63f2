// Runs the built tool over every damaged/hostile file and every conformance file: each run
// must end with exit status 0 or -1, print no sanitizer report, finish within 10 s and stay
// under 2 GiB of resident memory. In the sanitizer build this is the corpus sanitizer sweep.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string corpus_root() {
    const char* env = std::getenv("DRAVEX_CORPUS");
    return env && env[0] ? env : DRAVEX_CORPUS_DEFAULT;
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    for (const char* sub : {"robustness", "conformance"}) {
        fs::path dir = fs::path(corpus_root()) / sub;
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) continue;
        for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
            if (!e.is_regular_file()) continue;
            std::string name = e.path().filename().string();
            if (name == "COPYRIGHT" || name == "VERSION.txt" || name == "README.md") continue;
            files.push_back(fs::relative(e.path(), corpus_root()).string());
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) files.push_back("");  // one placeholder case that skips
    return files;
}

struct RunResult {
    int exit_code = -2;   // -2: killed or signalled
    int signal = 0;
    bool timed_out = false;
    long max_rss_kib = 0;
    std::string stderr_text;
};

RunResult run_tool(const std::string& input, const std::string& output, double seconds) {
    RunResult r;
    fs::path err_path = fs::temp_directory_path() / ("dravex_rob_" + std::to_string(getpid()) +
                                                     "_" + std::to_string(rand()) + ".err");
    pid_t pid = fork();
    if (pid == 0) {
        FILE* e = std::freopen(err_path.c_str(), "w", stderr);
        (void)e;
        FILE* o = std::freopen("/dev/null", "w", stdout);
        (void)o;
        execl(DRAVEX_TOOL_PATH, DRAVEX_TOOL_PATH, input.c_str(), output.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    struct rusage usage {};
    for (;;) {
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > seconds) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.max_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    std::ifstream in(err_path);
    std::stringstream ss;
    ss << in.rdbuf();
    r.stderr_text = ss.str();
    fs::remove(err_path);
    return r;
}

class CorpusRun : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusRun, EndsCleanly) {
    const std::string rel = GetParam();
    if (rel.empty()) GTEST_SKIP() << "corpus not found at " << corpus_root();
    fs::path input = fs::path(corpus_root()) / rel;
    fs::path output = fs::temp_directory_path() /
                      ("dravex_rob_" + std::to_string(getpid()) + "_" + input.stem().string() + ".bmp");
    RunResult r = run_tool(input.string(), output.string(), 10.0);
    std::error_code ec;
    fs::remove(output, ec);
    EXPECT_FALSE(r.timed_out) << rel << " ran past 10 s";
    EXPECT_EQ(r.signal, 0) << rel << " died with signal " << r.signal;
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 255)
        << rel << " exited with " << r.exit_code << "\n" << r.stderr_text.substr(0, 4000);
    EXPECT_EQ(r.stderr_text.find("Sanitizer"), std::string::npos) << r.stderr_text.substr(0, 4000);
    EXPECT_EQ(r.stderr_text.find("runtime error"), std::string::npos) << r.stderr_text.substr(0, 4000);
    EXPECT_LT(r.max_rss_kib, 2L * 1024 * 1024) << rel << " used " << r.max_rss_kib << " KiB";
}

std::string case_name(const ::testing::TestParamInfo<std::string>& info) {
    if (info.param.empty()) return "corpus_absent";
    std::string n = info.param;
    for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusRun, ::testing::ValuesIn(corpus_files()), case_name);

}  // namespace
