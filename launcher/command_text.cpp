#include "launcher/command_text.h"

namespace launcher {
namespace {

constexpr platform::WStringView kForceRunPrefix = WIDE("forcerun:");
constexpr platform::WStringView kScheme = WIDE("quorvane://");

}  // namespace

CommandText ParseCommandText(platform::WStringView commandText) {
  CommandText command;
  if (commandText.substr(0, kForceRunPrefix.size()) == kForceRunPrefix) {
    command.forceRun = true;
    commandText.remove_prefix(kForceRunPrefix.size());
  }
  command.text.assign(commandText);
  const std::size_t position = command.text.find(kScheme);
  if (position != platform::WString::npos) command.schemePosition = position;
  return command;
}

platform::WString ParameterBase(const CommandText& command) {
  if (!command.schemePosition) return command.text;
  return command.text.substr(*command.schemePosition + kScheme.size());
}

platform::WString BuildParameterString(const CommandText& command, bool adminKeysDown,
                                       const std::vector<platform::WString>& configuredArgs) {
  platform::WString parameters = ParameterBase(command);
  if (adminKeysDown) parameters += WIDE(" IsAdmin");
  for (const platform::WString& arg : configuredArgs) {
    parameters += WIDE(' ');
    parameters += arg;
  }
  return parameters;
}

}  // namespace launcher
