#pragma once

#include <QIcon>
#include <QPixmap>

// The window's images, painted in code: toolbar buttons (48x48 in normal, hot and
// disabled states), the application icon, the recorder image of the online list
// and the two tab icons. All members: window thread (they paint pixmaps).
class CArtwork {
public:
    enum class Button { Start, Stop, Config };
    enum class State { Normal, Hot, Disabled };

    static constexpr int kToolbarImageSize = 48;

    // One 48x48 toolbar image.
    static QPixmap ToolbarImage(Button button, State state);
    // The three states as one icon (normal, hot as QIcon::Active, disabled).
    static QIcon ToolbarIcon(Button button);

    // The application icon (16x16 and 32x32 images).
    static QIcon AppIcon();
    // The recorder symbol of the online list rows, 32x32.
    static QPixmap RecorderImage();
    // Tab icons, 16x16: the online list and the Active log.
    static QIcon OnlineTabIcon();
    static QIcon LogTabIcon();
};
