#pragma once
// Bound-method callback types. "Assigned" means the std::function is not empty.
#include <functional>
#include <string>

using TObjectBooleanFunc = std::function<bool()>;
using TObjectProc = std::function<void()>;
using TObjectProcStr1 = std::function<void(const std::string&)>;
using TObjectBooleanFuncAnsiStr1 = std::function<bool(const std::string&)>;
