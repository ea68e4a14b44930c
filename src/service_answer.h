#pragma once
// Reading the "result" of a service answer. Every operation reads its answer
// the same way and differs only in what it makes of each outcome, so the
// checks live here and the policies stay with the operations.
#include <cstddef>
#include <string>

#include <rapidjson/document.h>

class Logger;

namespace nerivo {

enum class AnswerOutcome {
    RESULT,      // "result" is there and of the expected type
    EMPTY,       // the body is empty
    UNPARSABLE,  // the body is not JSON
    NOT_OBJECT,  // the top level is not an object
    NO_RESULT,   // no "result" member
    WRONG_TYPE,  // "result" is not of the expected type
};

// Parses body into doc and finds its "result", which must be of type expected
// (rapidjson::kObjectType or kArrayType). result points into doc when the
// outcome is RESULT and is null otherwise.
AnswerOutcome readResult(const std::string& body, rapidjson::Type expected, rapidjson::Document& doc,
                         const rapidjson::Value*& result);

// The same for a large answer, parsed in place when that is safe: its strings
// stay in body instead of being copied (the document then takes about a sixth
// less memory, and half the time). body is changed then; when the outcome is
// UNPARSABLE it holds its text as received again, for the log.
AnswerOutcome readResultInPlace(std::string& body, rapidjson::Type expected, rapidjson::Document& doc,
                                const rapidjson::Value*& result);

// A chunk size for the memory pool of the document of body, so that its
// memory comes in one piece rather than in many small chunks.
std::size_t documentChunk(const std::string& body);

// A refused key is the usual cause of a 401 or 403: for those statuses, an
// error line that says where to look.
void keyHint(Logger* logger, const std::string& status);

}  // namespace nerivo
