#pragma once

#include <QObject>

class QString;

// Widens every dialog, as it is shown, so that the window manager has room for its whole
// title: a short message under a long title ("Export complete." under "Vaultry Export")
// would otherwise get a title cut to "Vaul… port". Installed on the application.
class DialogTitleFitter : public QObject
{
    Q_OBJECT

public:
    explicit DialogTitleFitter(QObject* parent = nullptr);

    // The width a dialog titled `title` needs: the title in the title bar's bold font plus
    // the window icon and the title-bar buttons.
    static int widthForTitle(const QString& title);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
