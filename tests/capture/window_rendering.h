#pragma once
// Window images with rendered text, as a capture of another program's window
// would show them. Needs a QGuiApplication (fonts).

#include <QImage>
#include <QSize>
#include <QString>
#include <QVariantList>

// A patient record window: title bar, a header with the patient's name as
// given (e.g. "Smith, John" or "John Smith"), date of birth and record
// number, and a few lines of visit details, in `family` at `pixelSize`.
// `size` is in points; the image has `scale` device pixels per point, as a
// capture on a screen of that scale.
QImage renderRecordWindow(const QString &family, int pixelSize, const QString &patientName,
                          const QSize &size = QSize(720, 260), double scale = 1.0);

// A maximised patient record (`size` points at `scale`): title bar, a side
// bar of chart sections, a banner with the patient's name and date of birth,
// and the page below it full of vitals, medications and visit notes, with a
// scroll bar on the right.
QImage renderFullRecordWindow(const QSize &size, double scale, const QString &patientName,
                              const QString &family = QStringLiteral("DejaVu Sans"), int pixelSize = 14);

// A window of `size` filled with lines of record text (a schedule list), for
// timing recognition on a realistic amount of text.
QImage renderDenseWindow(const QSize &size, const QString &family = QStringLiteral("DejaVu Sans"),
                         int pixelSize = 14);

// Today's patients for the rendered records: "John Smith" among namesakes and
// twenty others, as patient entries.
QVariantList renderedRecordPatients();
