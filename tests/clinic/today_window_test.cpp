#include "clinic/today_window.h"

#include <QLocale>
#include <QRegularExpression>
#include <gtest/gtest.h>

TEST(TodayWindow, LocalDayWestOfUtcEndsOnTheNextUtcDay) {
    const QTimeZone utcMinus5(-5 * 3600);
    const QList<QDateTime> bounds = kcDayBounds(QDate(2026, 3, 10), utcMinus5);
    ASSERT_EQ(bounds.size(), 2);
    EXPECT_EQ(kcServiceDateTimeText(bounds[0]), "2026-03-10 05:00:00");
    EXPECT_EQ(kcServiceDateTimeText(bounds[1]), "2026-03-11 04:59:59");
    EXPECT_EQ(kcAssignmentsPath(bounds[0], bounds[1]),
              "clinic_patient_device_assignments/capture/"
              "?begin_date=2026-03-10%2005:00:00&end_date=2026-03-11%2004:59:59");
}

TEST(TodayWindow, LocalDayEastOfUtcStartsOnThePreviousUtcDay) {
    const QList<QDateTime> bounds = kcDayBounds(QDate(2026, 12, 31), QTimeZone(9 * 3600));
    EXPECT_EQ(kcServiceDateTimeText(bounds[0]), "2026-12-30 15:00:00");
    EXPECT_EQ(kcServiceDateTimeText(bounds[1]), "2026-12-31 14:59:59");
}

TEST(TodayWindow, DaylightSavingChangeAtMidnight) {
    // Santiago moves its clocks from 00:00 to 01:00 on the first Sunday of
    // September: that day has no midnight.
    const QTimeZone santiago("America/Santiago");
    if (!santiago.isValid())
        GTEST_SKIP() << "no time zone data for America/Santiago";
    const QDate day(2026, 9, 6);
    const QList<QDateTime> bounds = kcDayBounds(day, santiago);
    ASSERT_TRUE(bounds[0].isValid());
    ASSERT_TRUE(bounds[1].isValid());
    EXPECT_EQ(bounds[0].date(), day);
    EXPECT_EQ(bounds[1].date(), day);
    EXPECT_EQ(bounds[1].time(), QTime(23, 59, 59));
    EXPECT_LT(bounds[0], bounds[1]);
}

TEST(TodayWindow, WesternDigitsWhateverTheUserLocale) {
    const QRegularExpression shape("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$");
    const QDateTime moment(QDate(2026, 5, 4), QTime(3, 2, 1), QTimeZone::utc());
    const QLocale original;
    for (const QLocale &locale :
         {QLocale(QLocale::Arabic, QLocale::Egypt), QLocale(QLocale::Persian, QLocale::Iran),
          QLocale(QLocale::Hindi, QLocale::India), QLocale(QLocale::Thai, QLocale::Thailand)}) {
        QLocale::setDefault(locale);
        const QString text = kcServiceDateTimeText(moment);
        EXPECT_EQ(text, "2026-05-04 03:02:01") << locale.name().toStdString();
        EXPECT_TRUE(shape.match(text).hasMatch());
    }
    QLocale::setDefault(original);
}

TEST(TodayWindow, TodayInTheProcessTimeZone) {
    const QList<QDateTime> bounds = kcTodayBounds();
    ASSERT_EQ(bounds.size(), 2);
    const QDate today = QDate::currentDate();
    // Around midnight the day may turn between the two calls.
    if (bounds[0].date() != today)
        GTEST_SKIP() << "the day changed during the test";
    EXPECT_EQ(bounds[0].toLocalTime().time(), QTime(0, 0, 0));
    EXPECT_EQ(bounds[1].toLocalTime().time(), QTime(23, 59, 59));
    EXPECT_EQ(bounds[0].secsTo(bounds[1]) % 3600, 59 * 60 + 59);

    const QString begin = kcServiceDateTimeText(bounds[0]);
    const QString end = kcServiceDateTimeText(bounds[1]);
    const int offset = bounds[0].offsetFromUtc();
    if (offset < 0) {
        // West of UTC: the local day starts on the same UTC date and ends on
        // the next one.
        EXPECT_EQ(begin.left(10), today.toString(Qt::ISODate));
        EXPECT_EQ(end.left(10), today.addDays(1).toString(Qt::ISODate));
    } else if (offset == 0) {
        EXPECT_EQ(begin, today.toString(Qt::ISODate) + " 00:00:00");
        EXPECT_EQ(end, today.toString(Qt::ISODate) + " 23:59:59");
    }
}
