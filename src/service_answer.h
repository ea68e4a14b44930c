#pragma once
// Reading the "result" of a service answer. Every operation reads its answer
// the same way and differs only in what it makes of each outcome, so the
// checks live here and the policies stay with the operations.
#include <string>

#include <rapidjson/document.h>

class Logger;

namespace nerivo {

enum class AnswerOutcome {
    RESULT,        // "result" is there and of the expected type
    EMPTY,         // the body is empty
    UNPARSABLE,    // the body is not JSON
    NOT_OBJECT,    // the top level is not an object
    NO_RESULT,     // no "result" member
    WRONG_TYPE,    // "result" is not of the expected type
};

// Parses body into doc and finds its "result", which must be of type expected
// (rapidjson::kObjectType or kArrayType). result points into doc when the
// outcome is RESULT and is null otherwise.
AnswerOutcome readResult(const std::string& body, rapidjson::Type expected, rapidjson::Document& doc,
                         const rapidjson::Value*& result);

// A refused key is the usual cause of a 401 or 403: for those statuses, an
// error line that says where to look.
void keyHint(Logger* logger, const std::string& status);

}  // namespace nerivo
