#include "service_answer.h"

#include "logger.h"

namespace nerivo {

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

void keyHint(Logger* logger, const std::string& status)
{
    if (status.compare(0, 3, "401") == 0 || status.compare(0, 3, "403") == 0) {
        logger->error("The service refused the request (%s): check the configuration item \"key\"",
                      status.c_str());
    }
}

}  // namespace nerivo
