#pragma once

// The user's display language: true for Chinese, false for English.
bool IsChineseLanguage();
