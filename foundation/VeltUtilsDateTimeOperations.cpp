#include "foundation/VeltUtilsDateTimeOperations.h"

#include <cstdio>
#include <string_view>

#include "foundation/VeltExceptions.h"

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string DateTimeAsText(const std::tm& time) {
    char text[96];  // room for any int the compiler can imagine in the fields
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return text;
}

std::string DateTimeAsCompactText(const std::tm& time) {
    char text[96];  // room for any int the compiler can imagine in the fields
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return text;
}

std::string NowAsText() { return DateTimeAsText(LocalNow()); }

std::string NowAsCompactText() { return DateTimeAsCompactText(LocalNow()); }

namespace {

int StrictDecimal(std::string_view text) {
    if (text.empty() || text.size() > 9) throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

bool IsTimeInDaysAndHours(const std::string& days, const std::string& hours, const std::tm& time) {
    const char isoWeekday = static_cast<char>('0' + (time.tm_wday == 0 ? 7 : time.tm_wday));
    if (days.find(isoWeekday) == std::string::npos) return false;
    std::string_view rest(hours);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const auto dash = item.find('-');
        const int from = StrictDecimal(item.substr(0, dash));
        const int to = StrictDecimal(dash == std::string_view::npos ? std::string_view() : item.substr(dash + 1));
        if (from <= time.tm_hour && time.tm_hour <= to) return true;
    }
    return false;
}

bool IsNowInDaysAndHours(const std::string& days, const std::string& hours) {
    return IsTimeInDaysAndHours(days, hours, LocalNow());
}
