#include "app/presenters/tint.hpp"

namespace veltrano::app {

QString tintColor(Tint tint) {
  switch (tint) {
    case Tint::secondary: return QStringLiteral("#8c8c8c");
    case Tint::orange: return QStringLiteral("#ff9f0a");
    case Tint::cyan: return QStringLiteral("#00e5ff");
    case Tint::green: return QStringLiteral("#32d74b");
    case Tint::red: return QStringLiteral("#ff453a");
    case Tint::purple: return QStringLiteral("#bf5af2");
    case Tint::blue: return QStringLiteral("#0a84ff");
    case Tint::teal: return QStringLiteral("#40c8e0");
  }
  return QStringLiteral("#8c8c8c");
}

}  // namespace veltrano::app
