#pragma once
// What the configurator asks of the configuration window: edit the data, and say whether
// the administrator saved. The front end implements it; tests script it.
class TConfigurationData;

class TConfigurationScreenPort {
public:
    static constexpr int kSaved = 1;
    static constexpr int kCancelled = 2;

    virtual ~TConfigurationScreenPort() = default;
    // kSaved after the data was changed and should be written, kCancelled otherwise.
    virtual int Show(TConfigurationData& data) = 0;
};
