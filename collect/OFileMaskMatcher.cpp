#include "collect/OFileMaskMatcher.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

struct TFileMaskMatcher::TCompiled {
    pcre2_code* code = nullptr;
    pcre2_match_data* matchData = nullptr;
};

TFileMaskMatcher::TFileMaskMatcher() = default;

TFileMaskMatcher::~TFileMaskMatcher() { Release(); }

void TFileMaskMatcher::Release() {
    if (_compiled == nullptr) return;
    pcre2_match_data_free(_compiled->matchData);
    pcre2_code_free(_compiled->code);
    delete _compiled;
    _compiled = nullptr;
}

bool TFileMaskMatcher::Load(const std::string& mask) {
    Release();
    _sErrorText.clear();
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    // Names on Linux are bytes: a stray non-UTF-8 byte must not stop the test.
    const uint32_t options = PCRE2_UTF | PCRE2_CASELESS | PCRE2_MATCH_INVALID_UTF;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(mask.data()), mask.size(), options, &errorCode,
                                     &errorOffset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(errorCode, message, sizeof message);
        _sErrorText = std::string(reinterpret_cast<const char*>(message)) + " at offset " + std::to_string(errorOffset);
        return false;
    }
    // A directory of many thousand names is tested per pass; the JIT is optional.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    _compiled = new TCompiled{code, pcre2_match_data_create_from_pattern(code, nullptr)};
    return true;
}

TFileMaskMatcher::TResult TFileMaskMatcher::Test(const std::string& name) {
    if (_compiled == nullptr || _compiled->matchData == nullptr) return TResult::Error;
    const int rc = pcre2_match(_compiled->code, reinterpret_cast<PCRE2_SPTR>(name.data()), name.size(), 0, 0,
                               _compiled->matchData, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return TResult::NotWhole;
    if (rc < 0) return TResult::Error;
    const PCRE2_SIZE* match = pcre2_get_ovector_pointer(_compiled->matchData);
    return (match[0] == 0 && match[1] == name.size()) ? TResult::Whole : TResult::NotWhole;
}
