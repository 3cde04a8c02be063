#pragma once

#include <QString>
#include <QtGlobal>

namespace vexmora::tools {

// Reads text as a base-10 integer within [minimum, maximum]: an optional minus
// sign and digits, nothing else (no blanks, no plus sign, no fraction). On
// failure problem holds why, worded to follow the argument's name.
bool parseBoundedInteger(const QString &text, qint64 minimum, qint64 maximum, qint64 &value,
                         QString &problem);

// True for an hour text of the traffic database, "YYYY-MM-DD HH:00" naming a
// real calendar day and an hour from 00 to 23; otherwise problem says why.
bool isHourText(const QString &text, QString &problem);

} // namespace vexmora::tools
