#include "launcher/language.h"

bool IsChineseLanguage() { return true; }
