// A private folder is refused when a folder above it would let another user
// put a folder of theirs in its place.
#include "platform/core/private_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(PrivateFolder, EveryFolderAboveItIsChecked) {
    struct Case {
        const char *name;
        std::function<void(const QString &above)> spoil; // done to a folder two levels up
        const char *problem;                             // "" when accepted
    };
    const uid_t other = ::geteuid() == 65534 ? 65533 : 65534;
    const Case cases[] = {
        {"sound", [](const QString &) {}, ""},
        {"writable by others", [](const QString &a) { ::chmod(QFile::encodeName(a).constData(), 0777); },
         "writable by other users"},
        {"another user's",
         [other](const QString &a) { ASSERT_EQ(::chown(QFile::encodeName(a).constData(), other, other), 0); },
         "another user"},
        {"a link",
         [](const QString &a) {
             ASSERT_TRUE(QDir(a).rename(a, a + "-real"));
             ASSERT_TRUE(QFile::link(a + "-real", a));
         },
         "is a link"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (QString(c.name) == "another user's" && ::geteuid() != 0)
            continue; // only root can give a folder away
        QTemporaryDir dir;
        const QString above = dir.filePath("share");
        ASSERT_TRUE(QDir().mkpath(above + "/Kelvra"));
        ::chmod(QFile::encodeName(above).constData(), 0700);
        c.spoil(above);
        const QString problem = kcMakePrivateFolder(above + "/Kelvra/pending-uploads");
        if (*c.problem == '\0')
            EXPECT_EQ(problem.toStdString(), "");
        else
            EXPECT_TRUE(problem.contains(c.problem)) << problem.toStdString();
    }
}

} // namespace
