// A Qt Widgets window showing a patient record, for reading its
// accessibility tree: the patient's name in large type, a "Date of birth:"
// label that is the buddy of a read-only field with the date, and a note.
#include <QApplication>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Record"));
    auto *grid = new QGridLayout(&window);
    auto *name = new QLabel(QStringLiteral("LEFÈVRE, Zoë"));
    QFont large = name->font();
    large.setPointSize(20);
    large.setBold(true);
    name->setFont(large);
    grid->addWidget(name, 0, 0, 1, 2);
    auto *born = new QLabel(QStringLiteral("Date of birth:"));
    auto *date = new QLineEdit(QStringLiteral("05/17/2001"));
    date->setReadOnly(true);
    born->setBuddy(date);
    grid->addWidget(born, 1, 0);
    grid->addWidget(date, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("MRN 123456")), 2, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Seen with her mother Inès Lefèvre.")), 3, 0, 1, 2);
    window.setGeometry(0, 0, 600, 400);
    window.show();
    return app.exec();
}
