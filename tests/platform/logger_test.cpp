#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logger.h"

namespace {

// Read before any test can touch the singleton.
const Logger::Level kInitialLevel = Logger::getLogger()->getMinLevel();

struct Captured {
    std::mutex mutex;
    std::vector<std::pair<Logger::Level, std::string>> lines;

    Logger::Sink sink()
    {
        return [this](Logger::Level level, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.emplace_back(level, message);
        };
    }
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger = Logger::getLogger();
        logger->setSink(captured.sink());
    }
    void TearDown() override
    {
        logger->setSink(Logger::Sink());
        logger->setMinLevel(Logger::Level::Warning);
    }

    Logger* logger = nullptr;
    Captured captured;
};

TEST(Logger, DefaultsToWarningAndIsSingleton)
{
    EXPECT_EQ(kInitialLevel, Logger::Level::Warning);
    EXPECT_EQ(Logger::getLogger(), Logger::getLogger());
    EXPECT_NE(Logger::getLogger(), nullptr);
}

TEST(Logger, LevelNames)
{
    EXPECT_STREQ(Logger::levelName(Logger::Level::Debug), "DEBUG");
    EXPECT_STREQ(Logger::levelName(Logger::Level::Info), "INFO");
    EXPECT_STREQ(Logger::levelName(Logger::Level::Warning), "WARNING");
    EXPECT_STREQ(Logger::levelName(Logger::Level::Error), "ERROR");
}

TEST_F(LoggerTest, DefaultLevelDropsDebugAndInfo)
{
    logger->setMinLevel(Logger::Level::Warning);
    logger->debug("d %d", 1);
    logger->info("i %d", 2);
    logger->warn("w %d", 3);
    logger->error("e %s", "four");
    ASSERT_EQ(captured.lines.size(), 2u);
    EXPECT_EQ(captured.lines[0].first, Logger::Level::Warning);
    EXPECT_EQ(captured.lines[0].second, "w 3");
    EXPECT_EQ(captured.lines[1].first, Logger::Level::Error);
    EXPECT_EQ(captured.lines[1].second, "e four");
}

TEST_F(LoggerTest, EachMinimumLevelFilters)
{
    struct Case {
        Logger::Level min;
        size_t expectedCount;
    };
    for (const Case c : {Case{Logger::Level::Debug, 4}, Case{Logger::Level::Info, 3}, Case{Logger::Level::Warning, 2},
                         Case{Logger::Level::Error, 1}}) {
        captured.lines.clear();
        logger->setMinLevel(c.min);
        EXPECT_EQ(logger->getMinLevel(), c.min);
        logger->debug("debug");
        logger->info("info");
        logger->warn("warn");
        logger->error("error");
        ASSERT_EQ(captured.lines.size(), c.expectedCount) << Logger::levelName(c.min);
        // Whatever passes is the highest levels, in call order.
        EXPECT_EQ(captured.lines.back().first, Logger::Level::Error);
        EXPECT_EQ(captured.lines.front().first, c.min);
    }
}

TEST_F(LoggerTest, LevelByName)
{
    struct Case {
        const char* name;
        Logger::Level level;
    };
    const Case cases[] = {{"debug", Logger::Level::Debug},     {"INFO", Logger::Level::Info},
                          {"warning", Logger::Level::Warning}, {"Warn", Logger::Level::Warning},
                          {"error", Logger::Level::Error},     {"Debug", Logger::Level::Debug}};
    for (const Case& c : cases) {
        logger->setMinLevel(c.level == Logger::Level::Error ? Logger::Level::Debug : Logger::Level::Error);
        EXPECT_TRUE(logger->setMinLevel(std::string(c.name))) << c.name;
        EXPECT_EQ(logger->getMinLevel(), c.level) << c.name;
    }
    logger->setMinLevel(Logger::Level::Info);
    for (const char* bad : {"", "verbose", "fatal", "warnings", " info", "err"}) {
        EXPECT_FALSE(logger->setMinLevel(std::string(bad))) << bad;
        EXPECT_EQ(logger->getMinLevel(), Logger::Level::Info) << bad;
    }
}

TEST_F(LoggerTest, LongMessagesAreComplete)
{
    const std::string big(100000, 'x');
    logger->error("[%s|%d]", big.c_str(), 7);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0].second, "[" + big + "|7]");

    // Just around the size of any internal first-pass buffer.
    for (size_t n = 500; n < 530; ++n) {
        captured.lines.clear();
        const std::string text(n, 'y');
        logger->error("%s", text.c_str());
        ASSERT_EQ(captured.lines.size(), 1u);
        EXPECT_EQ(captured.lines[0].second, text);
    }
}

TEST_F(LoggerTest, NewlinesDoNotBreakTheLine)
{
    logger->error("first\nsecond\r\nthird %s", "a\nb");
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0].second.find('\n'), std::string::npos) << captured.lines[0].second;
    EXPECT_EQ(captured.lines[0].second.find('\r'), std::string::npos) << captured.lines[0].second;
    EXPECT_NE(captured.lines[0].second.find("first"), std::string::npos);
    EXPECT_NE(captured.lines[0].second.find("third a b"), std::string::npos);
}

TEST_F(LoggerTest, MessagesBelowLevelAreNotFormatted)
{
    // "%n" stores how many characters were produced so far, so it shows
    // whether the text was ever formatted.
    logger->setMinLevel(Logger::Level::Warning);
    int produced = -1;
    logger->debug("abc%n", &produced);
    logger->info("abcd%n", &produced);
    EXPECT_EQ(produced, -1);
    EXPECT_TRUE(captured.lines.empty());

    logger->warn("abcde%n", &produced);
    EXPECT_EQ(produced, 5);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0].second, "abcde");
}

TEST_F(LoggerTest, ConcurrentLoggingKeepsEveryMessage)
{
    constexpr int kPerThread = 2000;
    logger->setMinLevel(Logger::Level::Info);
    auto worker = [this](int id) {
        for (int i = 0; i < kPerThread; ++i) {
            if (i % 2 == 0)
                logger->info("thread %d message %d", id, i);
            else
                logger->warn("thread %d message %d", id, i);
        }
    };
    std::thread a(worker, 1);
    std::thread b(worker, 2);
    a.join();
    b.join();
    ASSERT_EQ(captured.lines.size(), static_cast<size_t>(2 * kPerThread));
    std::vector<int> next(3, 0);
    for (const auto& line : captured.lines) {
        int id = 0;
        int n = -1;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.second.c_str(), "thread %d message %d%c", &id, &n, &tail), 2) << line.second;
        ASSERT_TRUE(id == 1 || id == 2) << line.second;
        EXPECT_EQ(n, next[id]) << "messages of one thread arrive in order";
        EXPECT_EQ(line.first, n % 2 == 0 ? Logger::Level::Info : Logger::Level::Warning);
        next[id] = n + 1;
    }
    EXPECT_EQ(next[1], kPerThread);
    EXPECT_EQ(next[2], kPerThread);
}

TEST_F(LoggerTest, SinkMayUseTheLogger)
{
    // A sink calling back into the logger must not deadlock.
    int calls = 0;
    logger->setSink([&](Logger::Level, const std::string& message) {
        ++calls;
        if (message == "outer")
            Logger::getLogger()->error("inner");
    });
    logger->error("outer");
    EXPECT_EQ(calls, 2);
}

// "2026-12-08T04:10:00.123Z name[1234] <tail>"
bool isStderrLine(const std::string& line, const std::string& tail)
{
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < shape.size() + tail.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
        if (!ok)
            return false;
    }
    if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    // Between the stamp and the level: "name[pid] ".
    const std::string who = line.substr(shape.size(), line.size() - shape.size() - tail.size());
    const size_t open = who.find('[');
    if (open == std::string::npos || open == 0 || who.size() < open + 4 || who.substr(who.size() - 2) != "] ")
        return false;
    for (size_t i = open + 1; i < who.size() - 2; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(who[i])))
            return false;
    }
    return true;
}

TEST_F(LoggerTest, DefaultSinkWritesOneLineToStderr)
{
    logger->setSink(Logger::Sink());
    testing::internal::CaptureStderr();
    logger->warn("hello %s\nworld", "there");
    logger->debug("hidden");
    logger->error("second");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(captured.lines.empty());
    std::istringstream lines(out);
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(lines, first)) << out;
    ASSERT_TRUE(std::getline(lines, second)) << out;
    EXPECT_FALSE(std::getline(lines, extra)) << out;
    EXPECT_EQ(out.back(), '\n');
    EXPECT_TRUE(isStderrLine(first, "WARNING: hello there world")) << first;
    EXPECT_TRUE(isStderrLine(second, "ERROR: second")) << second;
}

TEST_F(LoggerTest, EmptySinkRestoresStderr)
{
    logger->error("captured");
    logger->setSink(Logger::Sink());
    testing::internal::CaptureStderr();
    logger->error("to stderr");
    const std::string out = testing::internal::GetCapturedStderr();
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0].second, "captured");
    EXPECT_NE(out.find("ERROR: to stderr\n"), std::string::npos) << out;
}

}  // namespace
