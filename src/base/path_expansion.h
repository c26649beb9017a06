// Expansion of %NAME% variables in a path, as the Windows shell expands them, with the
// values a lookup gives (the environment of the user's programs).
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ToolBox {

// VariableLookup gives a variable's value, or nothing when it is not set.
using VariableLookup = std::function<std::optional<std::string>(const std::string& name)>;

// ExpandPercentVariables replaces every %NAME% whose variable is set; an unset variable, a
// lone "%" and "%%" stay as written. A text with fewer than two "%" is returned unchanged.
std::string ExpandPercentVariables(const std::string& text, const VariableLookup& lookup);

// UserFolderVariable maps the Windows folder variables that pages use to their Linux
// places, from the user's own environment (home and XDG base folders):
//   USERPROFILE   $HOME
//   APPDATA       $XDG_CONFIG_HOME, else $HOME/.config
//   LOCALAPPDATA  $XDG_DATA_HOME, else $HOME/.local/share
//   TEMP, TMP     $TMPDIR, else /tmp
//   USERNAME      $USER
// Nothing for any other name, or when $HOME (or $USER) is not set.
std::optional<std::string> UserFolderVariable(const std::string& name,
                                              const VariableLookup& environment);

}  // namespace ToolBox
