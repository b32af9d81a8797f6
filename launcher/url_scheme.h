#pragma once

// Registers the launcher as the handler of "quorvane://" links: the default value of
// HKCR\quorvane\shell\open\command becomes "<module path>" "%1", and HKCR\quorvane gets the
// empty string value "URL Protocol". A failed write is logged.
void WriteRegFun();
