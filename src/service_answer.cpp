#include "service_answer.h"

#include <algorithm>

#include "logger.h"

namespace nerivo {

namespace {

AnswerOutcome findResult(rapidjson::Type expected, rapidjson::Document& doc, const rapidjson::Value*& result)
{
    if (!doc.IsObject()) {
        return AnswerOutcome::NOT_OBJECT;
    }
    auto member = doc.FindMember("result");
    if (member == doc.MemberEnd()) {
        return AnswerOutcome::NO_RESULT;
    }
    if (member->value.GetType() != expected) {
        return AnswerOutcome::WRONG_TYPE;
    }
    result = &member->value;
    return AnswerOutcome::RESULT;
}

}  // namespace

AnswerOutcome readResult(const std::string& body, rapidjson::Type expected, rapidjson::Document& doc,
                         const rapidjson::Value*& result)
{
    result = nullptr;
    // RapidJSON must never be handed an empty text.
    if (body.empty()) {
        return AnswerOutcome::EMPTY;
    }
    doc.Parse(body.c_str(), body.size());
    if (doc.HasParseError()) {
        return AnswerOutcome::UNPARSABLE;
    }
    return findResult(expected, doc, result);
}

std::size_t documentChunk(const std::string& body)
{
    // Measured on range answers parsed in place, the document takes about
    // 1.8 times the body: twice the body holds it in one chunk.
    constexpr std::size_t MIN_CHUNK = std::size_t{64} * 1024;
    return std::max(MIN_CHUNK, body.size() / 5 * 10);
}

AnswerOutcome readResultInPlace(std::string& body, rapidjson::Type expected, rapidjson::Document& doc,
                                const rapidjson::Value*& result)
{
    // Without escapes and NULs, parsing in place changes only the closing
    // quote of each string it has read into a NUL, which a failure can undo
    // exactly; any other body is parsed from a copy of its strings.
    if (body.empty() || body.find('\\') != std::string::npos || body.find('\0') != std::string::npos) {
        return readResult(body, expected, doc, result);
    }
    result = nullptr;
    doc.ParseInsitu(&body[0]);
    if (doc.HasParseError()) {
        std::replace(body.begin(), body.end(), '\0', '"');
        return AnswerOutcome::UNPARSABLE;
    }
    return findResult(expected, doc, result);
}

void keyHint(Logger* logger, const std::string& status)
{
    if (status.compare(0, 3, "401") == 0 || status.compare(0, 3, "403") == 0) {
        logger->error("The service refused the request (%s): check the configuration item \"key\"", status.c_str());
    }
}

}  // namespace nerivo
