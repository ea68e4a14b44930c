#pragma once
// What the tool suites share: a scratch folder, child processes started with
// one helper, south-host runs, and reading lines taken apart.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace toolstest {

extern const char* const KEY;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const;
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path m_path;
};

std::string readText(const std::string& path);
// The text's lines, empty ones left out.
std::vector<std::string> lines(const std::string& text);

struct Child {
    pid_t pid = -1;
    std::string out;  // files holding its standard output and error
    std::string err;
    int outPipe = -1;  // with a piped standard output: its read end, out then empty
};

// Starts a program with stdout and stderr sent to files (stdout to outPath
// when given, or to a pipe with pipeOut) and the given variables added to the
// environment. Throws when the program cannot be started.
Child spawn(const TempDir& dir, const std::string& name, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env, const std::string& outPath = std::string(),
            bool pipeOut = false);

// Exit status, or -1 when the child had to be killed after the time-out or
// ended by a signal.
int waitFor(const Child& child, std::chrono::seconds timeout = std::chrono::seconds(60));

struct HostRun {
    int status = -1;
    std::vector<std::string> readings;  // stdout lines
    std::string err;
};

HostRun runHost(const TempDir& dir, const std::vector<std::string>& args, const std::string& caFile = std::string());

int64_t lastPullOf(const std::string& stateFile);

// "YYYY-MM-DD HH:MM:SS.ffffff+00:00" to epoch seconds.
int64_t utcSeconds(const std::string& userTs);

struct ParsedReading {
    std::string asset;
    int64_t time = 0;
    rapidjson::Document doc;
};

ParsedReading parse(const std::string& line);

}  // namespace toolstest
