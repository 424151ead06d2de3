#include "window_rendering.h"

#include <QFont>
#include <QPainter>
#include <QStringList>
#include <QVariantMap>

namespace {

QFont fontOf(const QString &family, int pixelSize, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

void drawTitleBar(QPainter &painter, int width, const QString &title) {
    painter.fillRect(0, 0, width, 28, QColor(0xE4, 0xE6, 0xEB));
    painter.setPen(QColor(0x33, 0x33, 0x33));
    painter.setFont(fontOf(QStringLiteral("DejaVu Sans"), 13));
    painter.drawText(QRect(0, 0, width, 28), Qt::AlignCenter, title);
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(QColor::fromRgb(QRgb(i == 0 ? 0xEE6A5F : i == 1 ? 0xF5BE4F : 0x62C554)));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(16 + i * 20, 14), 6, 6);
    }
}

} // namespace

// A white record window of `size` points at `scale` device pixels per point.
static QImage blankRecord(const QSize &size, double scale) {
    QImage image((QSizeF(size) * scale).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::white);
    return image;
}

QImage renderRecordWindow(const QString &family, int pixelSize, const QString &patientName, const QSize &size,
                          double scale) {
    QImage image = blankRecord(size, scale);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    drawTitleBar(painter, size.width(), QStringLiteral("Chart - Northside Family Clinic"));

    const int line = pixelSize * 2;
    int y = 40;
    painter.fillRect(0, y, size.width(), line * 2 + 8, QColor(0xF3, 0xF6, 0xFA));
    painter.setPen(QColor(0x10, 0x1E, 0x3C));
    painter.setFont(fontOf(family, pixelSize + 4, true));
    painter.drawText(QRect(16, y + 4, size.width() - 32, line), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Patient: %1").arg(patientName));
    painter.setFont(fontOf(family, pixelSize));
    painter.setPen(QColor(0x44, 0x44, 0x44));
    painter.drawText(QRect(16, y + 4 + line, size.width() - 32, line), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("DOB: 03/14/1961    MRN: 4521987    Room 4"));
    y += line * 2 + 20;
    const QStringList details = {QStringLiteral("Provider: Dr. Adams    Visit: Follow-up"),
                                 QStringLiteral("Allergies: NKDA    BP 120/80    HR 72"),
                                 QStringLiteral("Notes: reviewed medication list, no changes.")};
    painter.setPen(Qt::black);
    for (const QString &detail : details) {
        if (y + line > size.height())
            break;
        painter.drawText(QRect(16, y, size.width() - 32, line), Qt::AlignLeft | Qt::AlignVCenter, detail);
        y += line;
    }
    return image;
}

QImage renderDenseWindow(const QSize &size, const QString &family, int pixelSize) {
    static const QStringList firsts = {"John", "Mary", "Ana", "Peter", "Olga", "Miguel", "Sophie", "Ali"};
    static const QStringList lasts = {"Smith", "Garcia", "Brown", "Novak",
                                      "Rossi", "Okafor", "Kim",   "Dubois"};
    static const QStringList reasons = {"Follow-up", "Annual exam", "Lab review", "Vaccination", "Consult"};
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    drawTitleBar(painter, size.width(), QStringLiteral("Schedule - Northside Family Clinic"));
    painter.setFont(fontOf(family, pixelSize));
    painter.setPen(Qt::black);
    const int line = pixelSize * 2;
    int row = 0;
    for (int y = 40; y + line <= size.height(); y += line, ++row) {
        const QString text = QStringLiteral("%1:%2  %3, %4  DOB %5/%6/19%7  Room %8  %9  MRN %10")
                                 .arg(8 + row / 4)
                                 .arg((row % 4) * 15, 2, 10, QLatin1Char('0'))
                                 .arg(lasts[row % lasts.size()], firsts[(row * 3) % firsts.size()])
                                 .arg(1 + row % 12, 2, 10, QLatin1Char('0'))
                                 .arg(1 + (row * 7) % 28, 2, 10, QLatin1Char('0'))
                                 .arg(40 + row % 50)
                                 .arg(1 + row % 9)
                                 .arg(reasons[row % reasons.size()])
                                 .arg(4500000 + row * 137);
        painter.drawText(QRect(16, y, size.width() - 32, line), Qt::AlignLeft | Qt::AlignVCenter, text);
    }
    return image;
}

QImage renderFullRecordWindow(const QSize &size, double scale, const QString &patientName,
                              const QString &family, int pixelSize) {
    static const QStringList sections = {"Summary", "Encounters", "Medications",   "Allergies", "Problems",
                                         "Labs",    "Imaging",    "Immunizations", "Documents", "Billing"};
    static const QStringList medications = {
        "Lisinopril 10 mg tablet, once daily",   "Metformin 500 mg tablet, twice daily with meals",
        "Atorvastatin 20 mg tablet, at bedtime", "Albuterol inhaler, 2 puffs as needed",
        "Vitamin D3 1000 units, once daily",     "Omeprazole 20 mg capsule, before breakfast"};
    static const QStringList notes = {"Patient reports feeling well since the last visit, sleeping better.",
                                      "Blood pressure improved on the current dose, no dizziness reported.",
                                      "Discussed diet and exercise, walking thirty minutes most days.",
                                      "Reviewed recent lab results with the patient, all within range.",
                                      "No new allergies. Medication list reconciled, no changes today.",
                                      "Follow-up in three months, sooner if symptoms return.",
                                      "Counselled on vaccination schedule, flu shot given today.",
                                      "Knee pain stable, continue physical therapy twice a week."};
    QImage image = blankRecord(size, scale);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    drawTitleBar(painter, size.width(), QStringLiteral("Chart - Northside Family Clinic"));
    const int sidebar = 200, scrollbar = 14, line = pixelSize * 2;
    const int right = size.width() - scrollbar;

    painter.fillRect(0, 28, sidebar, size.height() - 28, QColor(0xEE, 0xF1, 0xF5));
    painter.fillRect(right, 28, scrollbar, size.height() - 28, QColor(0xF0, 0xF0, 0xF0));
    painter.fillRect(right + 3, 60, scrollbar - 6, 120, QColor(0xC1, 0xC1, 0xC1));
    painter.setFont(fontOf(family, pixelSize));
    painter.setPen(QColor(0x22, 0x33, 0x55));
    int y = 48;
    for (const QString &section : sections) {
        if (y + line > size.height())
            break;
        painter.drawText(QRect(20, y, sidebar - 30, line), Qt::AlignLeft | Qt::AlignVCenter, section);
        y += line + 6;
    }

    const int left = sidebar + 24, width = right - left - 24;
    y = 44;
    painter.fillRect(sidebar, y, right - sidebar, line * 2 + 16, QColor(0xF3, 0xF6, 0xFA));
    painter.setPen(QColor(0x10, 0x1E, 0x3C));
    painter.setFont(fontOf(family, pixelSize + 6, true));
    painter.drawText(QRect(left, y + 4, width, line + 4), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Patient: %1").arg(patientName));
    painter.setFont(fontOf(family, pixelSize));
    painter.setPen(QColor(0x44, 0x44, 0x44));
    painter.drawText(QRect(left, y + 8 + line, width, line), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("DOB: 03/14/1961    MRN: 4521987    Room 4    Provider: Dr. Adams"));
    y += line * 2 + 36;

    const auto heading = [&](const QString &text) {
        painter.setFont(fontOf(family, pixelSize + 2, true));
        painter.setPen(QColor(0x10, 0x1E, 0x3C));
        painter.drawText(QRect(left, y, width, line), Qt::AlignLeft | Qt::AlignVCenter, text);
        y += line + 4;
        painter.setFont(fontOf(family, pixelSize));
        painter.setPen(Qt::black);
    };
    const auto text = [&](const QString &t) {
        painter.drawText(QRect(left, y, width, line), Qt::AlignLeft | Qt::AlignVCenter, t);
        y += line;
    };
    heading(QStringLiteral("Vitals"));
    text(QStringLiteral("BP 128/82    HR 74    Temp 98.4 F    Weight 172 lb    Height 5 ft 9 in"));
    y += 12;
    heading(QStringLiteral("Medications"));
    for (const QString &m : medications)
        text(m);
    y += 12;
    heading(QStringLiteral("Visit notes"));
    for (int i = 0; y + line <= size.height() - 8; ++i) {
        text(QStringLiteral("%1/%2: %3").arg(1 + i % 12).arg(2 + (i * 5) % 27).arg(notes[i % notes.size()]));
        if (i % 4 == 3)
            y += 10;
    }
    return image;
}

QVariantList renderedRecordPatients() {
    const QStringList names = {
        "John Smith",     "Jane Smith",    "Joan Smyth",    "Johan Smithers", "Jon Schmidt",  "Mary Johnson",
        "Peter Novak",    "Olga Ivanova",  "Miguel Garcia", "Sophie Dubois",  "Ali Okafor",   "Emily Brown",
        "Sven Lindqvist", "Marta Rossi",   "Aisha Khan",    "Tomas Kowalski", "Renee Martin", "Ingrid Berg",
        "Noel Fontaine",  "Chloe Lefevre", "David Kim",     "Laura Chen",     "Hans Weber",   "Grace Adams"};
    QVariantList list;
    for (const QString &name : names)
        list << QVariantMap{{"name", name},
                            {"dob", "03/14/1961"},
                            {"emr_patient_id", ""},
                            {"emr_appointment_id", ""},
                            {"profile_image_id", ""},
                            {"kelvraID", list.size()},
                            {"interaction_id", list.size()},
                            {"exam_room_name", "Room 4"}};
    return list;
}
