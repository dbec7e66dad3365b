#include "windowkit/desktopsession.h"

#include <QByteArrayList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace lumatrax {

namespace {

// On X11 and Wayland systems a window needs a desktop session.
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
constexpr bool kNeedsDesktopSession = true;
#else
constexpr bool kNeedsDesktopSession = false;
#endif

// The program whose application is starting, for the message handler.
const char* g_program = "";

// The one line said when there is no desktop session to show the window in; `why` in words.
void sayNoDesktopSession(const QByteArray& why)
{
    std::fprintf(stderr, "%s: needs a desktop session (%s): start it from the desktop\n", g_program,
                 why.constData());
}

[[nodiscard]] bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether the user chose a Qt platform (QT_QPA_PLATFORM, -platform): that choice is left to Qt.
[[nodiscard]] bool platformChosen(int argc, char* argv[])
{
    if (isSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0 ||
            std::strncmp(argv[i], "--platform=", 11) == 0)
            return true;
    return false;
}

// The display variables that are set, as "DISPLAY=:0 or WAYLAND_DISPLAY=wayland-0".
[[nodiscard]] QByteArray displaysNamed()
{
    QByteArrayList named;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (isSet(name))
            named << QByteArray(name) + '=' + std::getenv(name);
    return named.join(" or ");
}

// Qt's messages while the platform starts. A start that fails ends in a fatal message, on which
// Qt would abort. Where Qt said first that it could not reach the display, that becomes the one
// line; any other failure (a library the platform plugin lacks, say) is Qt's own messages, which
// name the fix. Either way the program ends with status 1. A start that succeeds passes what was
// held on, as Qt would have printed it.
struct HeldMessage
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_held;
QtMessageHandler g_qtHandler = nullptr;

void passOnHeldMessages(QtMessageHandler handler)
{
    for (const HeldMessage& m : g_held)
        handler(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category.constData()), m.text);
    g_held.clear();
}

[[nodiscard]] bool displayUnreachable()
{
    return std::any_of(g_held.begin(), g_held.end(), [](const HeldMessage& m) {
        return m.text.contains(u"could not connect to display", Qt::CaseInsensitive) ||
               m.text.contains(u"Failed to create wl_display", Qt::CaseInsensitive);
    });
}

void holdWhilePlatformStarts(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg) {
        if (displayUnreachable()) {
            sayNoDesktopSession("cannot reach " + displaysNamed());
        } else {
            g_held.push_back({QtCriticalMsg, context.category, text});
            passOnHeldMessages(g_qtHandler);
        }
        std::_Exit(1); // Qt is half started: none of it may run down
    }
    g_held.push_back({type, context.category, text});
}

} // namespace

std::unique_ptr<QApplication> startWindowApplication(const char* program, int& argc, char* argv[])
{
    g_program = program;
    const bool watchPlatform = kNeedsDesktopSession && !platformChosen(argc, argv);
    if (watchPlatform && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        sayNoDesktopSession("neither DISPLAY nor WAYLAND_DISPLAY is set");
        return nullptr;
    }
    if (watchPlatform)
        g_qtHandler = qInstallMessageHandler(holdWhilePlatformStarts);
    auto app = std::make_unique<QApplication>(argc, argv);
    if (watchPlatform) {
        qInstallMessageHandler(g_qtHandler);
        passOnHeldMessages(g_qtHandler);
    }
    return app;
}

} // namespace lumatrax
