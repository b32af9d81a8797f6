#pragma once

#include <optional>
#include <string>

// Registers the launcher as the handler of "quorvane://" links: the default value of
// HKCR\quorvane\shell\open\command becomes "<module path>" "%1". A failed write is logged.
void WriteRegFun();

// The open command for a launcher at `modulePath`, or nothing when it does not fit the
// 260-unit command buffer with its terminator (a cut path would start another program).
std::optional<std::wstring> SchemeOpenCommand(const std::wstring& modulePath);
