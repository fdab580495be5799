#pragma once

#include <string>

namespace tarvo {

// The locale that pinentry should draw its texts in: what our environment names
// for the category (LC_ALL, then the category's own variable, then LANG) when
// that is a UTF-8 locale installed on this machine, and "C.UTF-8" otherwise
// (none named, C or POSIX, a locale that is not installed), for our texts are
// UTF-8 and a curses pinentry without such a locale refuses to draw them.
std::string dialogLocale(const char* category);

}  // namespace tarvo
