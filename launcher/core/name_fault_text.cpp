// name_fault_text (name_policy.h): the policy's verdict in words, for messages. In a file of its
// own, so that the launcher stubs, which show one message whatever went wrong, do not carry it.
#include "name_policy.h"

const char* name_fault_text(NameFault fault) {
  switch (fault) {
    case NAME_OK: return "is allowed";
    case NAME_EMPTY: return "is empty or holds an empty component";
    case NAME_DOT: return "holds a component \".\" or \"..\"";
    case NAME_ABSOLUTE: return "begins with a slash or a backslash";
    case NAME_DRIVE: return "begins with a drive";
    case NAME_BACKSLASH: return "holds a backslash";
    case NAME_COLON: return "holds a colon";
    case NAME_CONTROL: return "holds a control character";
    case NAME_RESERVED_CHARACTER: return "holds one of * ? \" < > |";
    case NAME_TRAILING_DOT_OR_BLANK: return "has a component that ends in a dot or a blank";
    case NAME_DEVICE: return "holds a reserved device name";
    case NAME_NOT_UTF8: return "is not UTF-8";
    case NAME_TOO_LONG: return "is too long";
    case NAME_TOO_DEEP: return "has too many components";
  }
  return "is refused";
}
