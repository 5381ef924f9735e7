#pragma once
// Stored forms given as text by a test, read as the program reads its
// forms from files.

#include "platform/ui/FormReader.h"

#include <QBuffer>

namespace tonvara::test {

/// Reads the stored form Text into Root; FileName names it in errors.
/// Raises what ReadComponent raises.
inline void ReadFormText(const QByteArray& text, TComponent* root, const QString& fileName = QString())
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    ReadComponent(buffer, root, fileName);
}

} // namespace tonvara::test
