#pragma once

#include <QString>

class QWidget;

// The folder picker: a modal folder dialog with `caption`, showing `folder`
// selected when it exists, with a button for a new folder. A typed path that
// is not an existing folder is refused with "\"%s\" is an invalid path" and the
// dialog stays open.
//
// True when the user confirmed a folder, which is then in `folder`; false when
// cancelled, `folder` then holding its input, or "" when that was not an
// existing folder. `root` is where browsing starts when `folder` is not usable.
bool SelectFolder(QWidget* owner, const QString& caption, const QString& root, QString& folder);

// The message shown for a typed path that is not an existing folder.
QString InvalidPathMessage(const QString& typed);
