#include "launcher/url_scheme.h"

void WriteRegFun() {}
