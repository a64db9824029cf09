#pragma once
// A user-interface port that a test scripts: message boxes answer from a queue of
// answers (or their default), and everything asked of the person is recorded in order.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "config/ConfigurationScreenPort.h"
#include "shell/UserInterface.h"

class TScriptedConfigurationScreen : public TConfigurationScreenPort {
public:
    int Show(TConfigurationData&) override {
        ++iShown;
        return iAnswer;
    }
    int iAnswer = kCancelled;
    int iShown = 0;
};

class TScriptedUserInterface : public TUserInterface {
public:
    // Answers for the next message boxes, in order; when none is left, the default button.
    std::deque<TMessageButton> aAnswers;
    std::vector<TMessageBoxRequest> aBoxes;
    std::vector<std::string> aOneLineTexts;
    std::vector<std::string> aSplashTexts;
    std::vector<std::int32_t> aAnnounced;
    std::vector<std::string> aLogins;
    std::vector<TCertificateConfirmation> aCertificates;
    int iProcessMessagesCalls = 0;
    bool lAcceptCertificates = false;
    TScriptedConfigurationScreen oScreen;
    std::string sHelpFile;
    std::vector<std::string> aHelpFiles;  // every help file set, in order
    TObjectProcStr1 fWriteLogLine;

    TMessageButton MessageBox(const TMessageBoxRequest& request) override {
        aBoxes.push_back(request);
        if (aAnswers.empty()) return request.defaultButton;
        const TMessageButton answer = aAnswers.front();
        aAnswers.pop_front();
        return answer;
    }
    void RunOneLineTask(const std::string& info, const TObjectProc& task) override {
        aOneLineTexts.push_back(info);
        if (task) task();
    }
    bool RunOneLineFuncTask(const std::string& info, const TObjectBooleanFunc& task) override {
        aOneLineTexts.push_back(info);
        return task ? task() : false;
    }
    void ProcessMessages() override { ++iProcessMessagesCalls; }
    void ShowIntro() override {}
    void HideIntro() override {}
    void ShowInfo(const std::string& info) override { aSplashTexts.push_back(info); }
    void AnnounceProgramState(std::int32_t state) override { aAnnounced.push_back(state); }
    void ShowLogin(const std::string& login) override { aLogins.push_back(login); }
    void SetHelpFile(const std::string& fileName) override {
        sHelpFile = fileName;
        aHelpFiles.push_back(fileName);
    }
    std::string HelpFile() const override { return sHelpFile; }
    TConfigurationScreenPort* ConfigurationScreen(TLogData&) override { return &oScreen; }
    void AttachLog(TObjectProcStr1 writeLogLine) override { fWriteLogLine = std::move(writeLogLine); }
    bool ConfirmCertificate(const TCertificateConfirmation& certificate) override {
        aCertificates.push_back(certificate);
        return lAcceptCertificates;
    }
};
