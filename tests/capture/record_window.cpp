// record_window: a stand-in for a chart program, showing one patient's record
// in an ordinary top-level window, for scripted capture runs.
//
//   record_window --patient "First Last" [--dob yyyy-MM-dd] [--geometry WxH+X+Y]
//                 [--title TEXT]
//
// Prints "record window shown" on stdout once the window is on screen.

#include <QApplication>
#include <QCommandLineParser>
#include <QDate>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace {

QLabel *label(const QString &text, int pointSize, bool bold = false, const char *colour = "#1d2730") {
    auto *l = new QLabel(text);
    QFont f = l->font();
    f.setPointSize(pointSize);
    f.setBold(bold);
    l->setFont(f);
    l->setStyleSheet(QStringLiteral("color: %1").arg(QLatin1String(colour)));
    return l;
}

QWidget *recordView(const QString &name, const QString &dob) {
    auto *root = new QWidget;
    root->setAutoFillBackground(true);
    root->setStyleSheet(QStringLiteral("background: white"));
    auto *column = new QVBoxLayout(root);
    column->setContentsMargins(28, 22, 28, 22);
    column->setSpacing(14);

    auto *banner = new QFrame;
    banner->setStyleSheet(QStringLiteral("background: #eef3f7; border-radius: 6px"));
    auto *bannerLayout = new QGridLayout(banner);
    bannerLayout->setContentsMargins(18, 14, 18, 14);
    bannerLayout->addWidget(label(QStringLiteral("Patient"), 11, false, "#5b6770"), 0, 0);
    bannerLayout->addWidget(label(name, 26, true), 1, 0);
    QString dobText = QStringLiteral("unknown");
    const QDate date = QDate::fromString(dob, Qt::ISODate);
    if (date.isValid())
        dobText = QStringLiteral("%1 (%2 years)")
                      .arg(date.toString(QStringLiteral("MM/dd/yyyy")))
                      .arg(date.daysTo(QDate::currentDate()) / 365);
    bannerLayout->addWidget(label(QStringLiteral("DOB: ") + dobText, 14), 2, 0);
    bannerLayout->addWidget(
        label(QStringLiteral("Visit: %1").arg(QDate::currentDate().toString(Qt::ISODate)), 14), 2, 1);
    column->addWidget(banner);

    column->addWidget(label(QStringLiteral("Vital signs"), 15, true));
    auto *vitals = new QTableWidget(4, 3);
    vitals->setHorizontalHeaderLabels(
        {QStringLiteral("Measure"), QStringLiteral("Value"), QStringLiteral("Time")});
    const char *rows[4][3] = {{"Blood pressure", "128/82 mmHg", "09:12"},
                              {"Heart rate", "72 /min", "09:12"},
                              {"Temperature", "36.8 °C", "09:14"},
                              {"SpO2", "98 %", "09:14"}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            vitals->setItem(r, c, new QTableWidgetItem(QString::fromUtf8(rows[r][c])));
    vitals->horizontalHeader()->setStretchLastSection(true);
    vitals->setColumnWidth(0, 220);
    vitals->setColumnWidth(1, 220);
    vitals->setMaximumHeight(160);
    column->addWidget(vitals);

    column->addWidget(label(QStringLiteral("Clinical note"), 15, true));
    auto *note =
        label(QStringLiteral("Follow-up for a healing laceration on the left forearm. Wound edges well "
                             "approximated, no signs of infection. Sutures to be removed in 5 days."),
              13);
    note->setWordWrap(true);
    column->addWidget(note);
    column->addStretch(1);
    return root;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("patient"), QStringLiteral("Patient name."), QStringLiteral("text")});
    parser.addOption(
        {QStringLiteral("dob"), QStringLiteral("Date of birth (yyyy-MM-dd)."), QStringLiteral("date")});
    parser.addOption({QStringLiteral("geometry"), QStringLiteral("WxH+X+Y"), QStringLiteral("geometry"),
                      QStringLiteral("900x600+40+60")});
    parser.addOption({QStringLiteral("title"), QStringLiteral("Window title."), QStringLiteral("text"),
                      QStringLiteral("Patient Record")});
    parser.process(app);
    if (!parser.isSet(QStringLiteral("patient"))) {
        std::fprintf(stderr, "record_window: --patient is required\n");
        return 2;
    }
    const QRegularExpression geometryPattern(QStringLiteral("^(\\d+)x(\\d+)\\+(-?\\d+)\\+(-?\\d+)$"));
    const auto m = geometryPattern.match(parser.value(QStringLiteral("geometry")));
    if (!m.hasMatch()) {
        std::fprintf(stderr, "record_window: --geometry must look like 900x600+40+60\n");
        return 2;
    }
    QWidget *window =
        recordView(parser.value(QStringLiteral("patient")), parser.value(QStringLiteral("dob")));
    window->setWindowTitle(parser.value(QStringLiteral("title")));
    window->resize(m.captured(1).toInt(), m.captured(2).toInt());
    window->move(m.captured(3).toInt(), m.captured(4).toInt());
    window->show();
    QTimer::singleShot(0, [] {
        std::printf("record window shown\n");
        std::fflush(stdout);
    });
    return app.exec();
}
