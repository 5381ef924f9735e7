#pragma once

// Program resources are files: bitmaps, glyphs, stored forms and other data
// live in the source tree's resources/ folder, one subfolder per area
// (resources/ui/, resources/display/, resources/forms/, ...), and are found
// by name. A resource named "BBOK" of type ".bmp" is the file BBOK.bmp (any
// letter case) in a resource root or one of its direct subfolders.
//
// Roots, searched in this order:
//   1. ":/resources" when the program compiled the files in as Qt resources
//      under that prefix;
//   2. the folder in the environment variable TONVARA_RESOURCE_DIR;
//   3. <program folder>/resources and <program folder>/../share/tonvara/resources;
//   4. $TONVARA_SOURCE_DIR/resources (set for the tests);
//   5. the nearest folder named "resources" above the program's folder, which
//      is the source tree's when the program runs from a build folder inside it.

#include "platform/ui/SysUtils.h"

#include <QString>
#include <QStringList>

/// A named resource does not exist ("Resource BBOK not found").
class EResNotFound : public Exception {
public:
    using Exception::Exception;
};

/// The existing resource roots, in search order.
QStringList ResourceRoots();

/// The path of resource Name with the file extension Extension (".bmp"),
/// empty when there is none.
QString FindResourceFile(const QString& name, const QString& extension);

/// As FindResourceFile, but raises EResNotFound "Resource <name> not found".
QString ResourceFile(const QString& name, const QString& extension);
