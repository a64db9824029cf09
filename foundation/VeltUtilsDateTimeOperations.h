#pragma once
#include <ctime>
#include <string>

std::tm LocalNow();
// "yyyy.mm.dd hh:nn:ss", local time.
std::string NowAsText();
std::string DateTimeAsText(const std::tm& time);
// "yyyymmddhhnnss", local time.
std::string NowAsCompactText();
std::string DateTimeAsCompactText(const std::tm& time);
// True when the ISO weekday digit of `time` occurs in `days` and its hour falls in one
// of the "from-to" ranges of `hours`; a part that is not a number raises EConvertError.
bool IsNowInDaysAndHours(const std::string& days, const std::string& hours);
bool IsTimeInDaysAndHours(const std::string& days, const std::string& hours, const std::tm& time);
