#pragma once
// Today's window of the patient list: the local calendar day, sent to the
// clinic service as UTC wall-clock times.

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QTimeZone>

// [start, end] of `day` in `zone`: 00:00:00 and 23:59:59 of that day on the
// Gregorian calendar. Where the zone skips midnight (a daylight-saving
// change at 00:00), the start is the first moment of the day that exists.
QList<QDateTime> kcDayBounds(const QDate &day, const QTimeZone &zone);

// The bounds of the current local day in the system time zone.
QList<QDateTime> kcTodayBounds();

// "yyyy-MM-dd HH:mm:ss" of `moment` in UTC, on the Gregorian calendar with
// Western digits whatever the user's locale.
QString kcServiceDateTimeText(const QDateTime &moment);

// "clinic_patient_device_assignments/capture/?begin_date=...&end_date=..."
// with both bounds in the service's format, the spaces escaped as %20.
QString kcAssignmentsPath(const QDateTime &start, const QDateTime &end);
