#include "app/start_at_login.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QtDebug>

namespace {

QString entryFileName() {
    return KCDesktopEntryID + QStringLiteral(".desktop");
}

// Escapes of a desktop-entry string value.
QString escapeString(const QString &text) {
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

// True when the entry at `path` says Hidden=true in its main group.
bool entryIsHidden(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool mainGroup = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('['))
            mainGroup = line == "[Desktop Entry]";
        else if (mainGroup && line.startsWith("Hidden")) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0 && line.left(eq).trimmed() == "Hidden")
                return line.mid(eq + 1).trimmed() == "true";
        }
    }
    return false;
}

} // namespace

KCStartAtLogin *KCStartAtLogin::shared() {
    static QPointer<KCStartAtLogin> instance;
    if (!instance) {
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QStringList systemDirs;
        for (const QString &dir : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation))
            if (dir != config)
                systemDirs << dir + QStringLiteral("/autostart");
        instance = new KCStartAtLogin(config + QStringLiteral("/autostart"), systemDirs,
                                      QCoreApplication::applicationFilePath(), QCoreApplication::instance());
    }
    return instance;
}

KCStartAtLogin::KCStartAtLogin(const QString &userAutostartDir, const QStringList &systemAutostartDirs,
                               const QString &executable, QObject *parent)
    : QObject(parent), m_userDir(userAutostartDir), m_systemDirs(systemAutostartDirs),
      m_executable(executable) {
    m_menuItem = new QAction(tr("Start at login"), this);
    m_menuItem->setCheckable(true);
    refresh();
    connect(m_menuItem, &QAction::toggled, this, &KCStartAtLogin::menuItemToggled);
}

QString KCStartAtLogin::entryPath() const {
    return QDir(m_userDir).filePath(entryFileName());
}

bool KCStartAtLogin::isEnabled() const {
    if (QFile::exists(entryPath()))
        return !entryIsHidden(entryPath());
    for (const QString &dir : m_systemDirs) {
        const QString path = QDir(dir).filePath(entryFileName());
        if (QFile::exists(path))
            return !entryIsHidden(path);
    }
    return false;
}

bool KCStartAtLogin::setEnabled(bool enabled, QString *error) {
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    bool hide = false;
    if (!enabled) {
        if (QFile::exists(entryPath()) && !QFile::remove(entryPath()))
            return fail(QStringLiteral("cannot remove %1").arg(entryPath()));
        // A system-wide entry is hidden by a user entry of the same name.
        hide = isEnabled();
        if (!hide)
            return true;
    }
    if (m_executable.isEmpty() || m_executable.contains(QLatin1Char('\n')))
        return fail(QStringLiteral("no usable program path"));
    if (!QDir().mkpath(m_userDir))
        return fail(QStringLiteral("cannot create %1").arg(m_userDir));
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(entryPath(), file.errorString()));
    file.write(entryText(m_executable, hide));
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(entryPath(), file.errorString()));
    return true;
}

void KCStartAtLogin::refresh() {
    if (!m_menuItem)
        return;
    const QSignalBlocker block(m_menuItem);
    m_menuItem->setChecked(isEnabled());
}

void KCStartAtLogin::menuItemToggled(bool checked) {
    QString error;
    if (!setEnabled(checked, &error))
        qWarning().noquote() << "kelvra-capture: Start at login:" << error;
    refresh();
}

QString KCStartAtLogin::execValue(const QString &executable) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (const QChar c : executable)
        quote = quote || reserved.contains(c);
    QString program;
    if (quote) {
        program = QStringLiteral("\"");
        for (const QChar c : executable) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                program += QLatin1Char('\\');
            program += c;
        }
        program += QLatin1Char('"');
    } else {
        program = executable;
    }
    // A literal percent sign is written twice (field codes start with %).
    program.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return escapeString(program);
}

QByteArray KCStartAtLogin::entryText(const QString &executable, bool hidden) {
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=KelvraCapture\n"
                                  "Comment=Capture part of the screen into a patient's visit\n");
    text += QStringLiteral("Exec=%1\n").arg(execValue(executable));
    text += QStringLiteral("TryExec=%1\n").arg(escapeString(executable));
    text += QStringLiteral("Icon=%1\n").arg(KCDesktopEntryID);
    text += QStringLiteral("Terminal=false\n");
    if (hidden)
        text += QStringLiteral("Hidden=true\n");
    else
        text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}
