#include "clinic/today_window.h"

#include <QCalendar>
#include <QLocale>
#include <QUrl>

QList<QDateTime> kcDayBounds(const QDate &day, const QTimeZone &zone) {
    QDateTime start(day, QTime(0, 0, 0), zone);
    if (!start.isValid() || start.date() != day)
        start = day.startOfDay(zone);
    QDateTime end(day, QTime(23, 59, 59), zone);
    if (!end.isValid() || end.date() != day) {
        end = day.endOfDay(zone);
        end = end.addMSecs(-end.time().msec());
    }
    return {start, end};
}

QList<QDateTime> kcTodayBounds() {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    return kcDayBounds(QDateTime::currentDateTimeUtc().toTimeZone(zone).date(), zone);
}

QString kcServiceDateTimeText(const QDateTime &moment) {
    return QLocale::c().toString(moment.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm:ss"), QCalendar());
}

QString kcAssignmentsPath(const QDateTime &start, const QDateTime &end) {
    const QString path =
        QStringLiteral("clinic_patient_device_assignments/capture/?begin_date=%1&end_date=%2")
            .arg(kcServiceDateTimeText(start), kcServiceDateTimeText(end));
    // Escape what a URL cannot carry as it is (the space, anything outside
    // ASCII); the query's own separators stay.
    return QString::fromLatin1(QUrl::toPercentEncoding(path, "-._~:/?&=!$'()*+,;@"));
}
