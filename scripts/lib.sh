# Shared helpers for the project's scripts.
log() { printf '== %s\n' "$*" >&2; }

# The locale Wine takes its ANSI code page from: LC_ALL, else LC_CTYPE, else LANG.
wine_locale() { printf '%s' "${LC_ALL:-${LC_CTYPE:-${LANG:-C}}}"; }

# What keeps the Wine prefixes (and their templates) of different locales apart: nothing for
# the C locales, "-zh_CN.UTF-8" and the like for the others. A prefix keeps the locale it
# was made in, so one made in another locale would not show this locale's behaviour.
wine_locale_suffix() {
  local locale
  locale="$(wine_locale)"
  case $locale in
    C | POSIX | C.*) ;;
    *) printf -- '-%s' "${locale//\//_}" ;;
  esac
}

# print_launch_log FILE: the launcher's log lines in a Wine run's standard error (with
# WINEDEBUG=+debugstr): first as the launcher wrote them there (wide text in code page 936,
# shown here in UTF-8), then as debug output (OutputDebugStringA, which Wine traces on the
# same stream with non-ASCII bytes escaped, cut near 290 characters).
print_launch_log() {
  echo "standard error:"
  grep -aE '^\[ZUD\]' "$1" | tr -d '\r' | iconv -f GBK -t UTF-8 -c | sed 's/^/    /'
  echo "debug output (OutputDebugStringA):"
  grep -aE 'OutputDebugStringA' "$1" | sed -E 's/^.*OutputDebugStringA /    /'
}
