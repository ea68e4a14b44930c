// The helpers the tool suites share.
#include "tools_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "utility_model.hpp"

extern char** environ;

namespace toolstest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const KEY = "test-key";

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "tools-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string TempDir::file(const std::string& name) const
{
    return (m_path / name).string();
}

std::string TempDir::write(const std::string& name, const std::string& text) const
{
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

namespace {

// The process's environment with the given variables set, replacing any of
// the same name.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& env)
{
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0)
            environment.push_back(entry);
    }
    for (const auto& [k, v] : env)
        environment.push_back(k + "=" + v);
    return environment;
}

std::vector<char*> pointers(const std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (const auto& t : texts)
        out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

Child spawn(const TempDir& dir, const std::string& name, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env, const std::string& outPath, bool pipeOut)
{
    Child child;
    child.err = dir.file(name + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int out[2] = {-1, -1};
    if (pipeOut) {
        if (pipe(out) != 0)
            throw std::runtime_error("pipe failed for " + argv[0]);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
    } else {
        child.out = outPath.empty() ? dir.file(name + ".out") : outPath;
        posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::vector<std::string> environment = environmentWith(env);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(environment);
    const int rc = posix_spawn(&child.pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipeOut) {
        close(out[1]);
        child.outPipe = out[0];
    }
    if (rc != 0) {
        if (pipeOut)
            close(out[0]);
        throw std::runtime_error("posix_spawn failed for " + argv[0]);
    }
    return child;
}

int waitFor(const Child& child, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            ADD_FAILURE() << "child " << child.pid << " did not end in time";
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HostRun runHost(const TempDir& dir, const std::vector<std::string>& args, const std::string& caFile)
{
    std::vector<std::string> argv{SOUTH_HOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> env;
    if (!caFile.empty())
        env["SSL_CERT_FILE"] = caFile;
    const Child child = spawn(dir, "south-host", argv, env);
    HostRun run;
    run.status = waitFor(child);
    run.readings = lines(readText(child.out));
    run.err = readText(child.err);
    return run;
}

int64_t lastPullOf(const std::string& stateFile)
{
    rapidjson::Document doc;
    const std::string text = readText(stateFile);
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("lastPull") || !doc["lastPull"].IsInt64()) {
        ADD_FAILURE() << "state file holds no lastPull: '" << text << "'";
        return 0;
    }
    return doc["lastPull"].GetInt64();
}

int64_t utcSeconds(const std::string& userTs)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    EXPECT_EQ(std::sscanf(userTs.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << userTs;
    EXPECT_NE(userTs.find("+00:00"), std::string::npos) << userTs;
    return nerivosim::daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
           mi * 60 + s;
}

ParsedReading parse(const std::string& line)
{
    ParsedReading r;
    r.doc.Parse(line.c_str());
    if (r.doc.HasParseError() || !r.doc.IsObject() || !r.doc.HasMember("asset_code") || !r.doc.HasMember("user_ts") ||
        !r.doc.HasMember("readings")) {
        ADD_FAILURE() << "not a reading line: " << line;
        return r;
    }
    r.asset = r.doc["asset_code"].GetString();
    r.time = utcSeconds(r.doc["user_ts"].GetString());
    return r;
}

}  // namespace toolstest
