#include "launcher/url_handoff.h"

int SendUrlToRunningClient(const platform::WString& /*urlPart*/) { return 1; }
