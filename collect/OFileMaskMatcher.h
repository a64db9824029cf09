#pragma once
// The watching rules' file masks: PCRE regular expressions over UTF-8 names, compared
// without regard to letter case. A name fits a mask when the first match found in it
// covers the whole name.
#include <string>

class TFileMaskMatcher {
public:
    enum class TResult { Whole, NotWhole, Error };

    TFileMaskMatcher();
    ~TFileMaskMatcher();
    TFileMaskMatcher(const TFileMaskMatcher&) = delete;
    TFileMaskMatcher& operator=(const TFileMaskMatcher&) = delete;

    // Replaces the mask. False, with ErrorText() telling why, when it does not compile;
    // the matcher then holds no mask and every test gives Error.
    bool Load(const std::string& mask);
    const std::string& ErrorText() const { return _sErrorText; }

    // Bytes that are not valid UTF-8 match nothing; Error when the engine gave up
    // (no mask, or a resource limit hit).
    TResult Test(const std::string& name);

private:
    void Release();

    struct TCompiled;
    TCompiled* _compiled = nullptr;
    std::string _sErrorText;
};
