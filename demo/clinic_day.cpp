#include "demo/clinic_day.h"

#include <QColor>
#include <QFont>
#include <QJsonValue>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTimeZone>
#include <algorithm>

namespace {

struct RosterEntry {
    const char *first;
    const char *last;
    const char *dob; // nullptr: unknown
    bool emrLink;
    bool picture;
};

// The clinic's patients. Some names carry accents, apostrophes, hyphens or
// spaces; one patient has no date of birth, one no EMR link, a few no picture.
const RosterEntry kRoster[] = {
    {"Margaret", "Thompson", "1948-03-12", true, true},
    {"José", "Muñoz", "1975-11-02", true, true},
    {"Siobhan", "O'Neill", "1989-07-23", true, true},
    {"Mary-Jane", "Smith-Jones", "1962-01-30", true, true},
    {"Zoë", "Lefèvre", "2001-05-17", true, true},
    {"Oluwaseun", "Adeyemi", "1993-09-04", true, true},
    {"Lan", "Nguyễn", "1981-12-19", true, true},
    {"Björn", "Åkesson", "1957-06-08", true, true},
    {"D'Andre", "Williams", "1999-02-14", true, true},
    {"Ana-Lucía", "García-Márquez", "1970-10-10", true, true},
    {"Wei", "Chen", "1986-04-27", true, false},
    {"Robert", "Johnson", "1944-08-15", true, true},
    {"Priya", "Raghunathan", "1991-03-03", true, true},
    {"François", "Côté", "1966-12-24", true, true},
    {"Aisha", "Al-Sayed", "1979-07-01", true, true},
    {"Liam", "O'Connor", "2010-09-09", true, true},
    {"Sarah", "Miller", nullptr, true, false},
    {"Tomasz", "Wiśniewski", "1983-05-21", false, true},
    {"Emily", "Davis", "1995-11-11", true, false},
    {"Jean-Pierre", "Dubois", "1952-02-29", true, true},
    {"Hannah", "Schröder", "1988-08-08", true, true},
    {"Kenji", "Watanabe", "1973-01-16", true, true},
    {"Grace", "Okafor", "2004-06-30", true, true},
    {"Michael", "Brown", "1960-10-05", true, false},
    {"Fatima Zahra", "Benali", "1997-04-12", true, true},
    {"Søren", "Nielsen", "1969-09-28", true, true},
    {"Patricia", "Van der Berg", "1958-12-01", true, true},
    {"Ibrahim", "Diallo", "1984-03-19", true, true},
    // Patients that only the date of birth or the whole surname tells apart:
    // a namesake pair, and a parent with her child.
    {"Maria", "Cruz", "1990-07-14", true, true},
    {"Maria", "De La Cruz", "1987-03-22", true, true},
    {"Laura", "Bennett", "1984-04-09", true, true},
    {"Noah", "Bennett", "2016-10-27", true, false},
};
// Where the patients above start in kRoster, and the clinic number they
// start from (the EMR-only patients keep theirs).
const int kFirstLaterPatient = 28;
const int kLaterPatientNumber = 40;

const RosterEntry kEmrOnly[] = {
    {"John", "Carter", "1971-05-05", true, false},
    {"Maria", "Rossi", "1990-01-21", true, true},
};

// Roster indices of the patients that are booked every day: among them a
// compound surname (Van der Berg), the namesakes Maria Cruz and Maria De La
// Cruz, and Laura and Noah Bennett.
const int kAlwaysBooked[] = {0, 1, 2, 3, 4, 16, 17, 26, 28, 29, 30, 31};
const int kTwiceBooked = 0; // this patient has two visits every day
const int kSlotWithUnknownRoom = 5;

DemoPatient makePatient(const RosterEntry &entry, int number, const QString &departmentId) {
    DemoPatient p;
    p.id = QString::number(880 + number);
    p.firstName = QString::fromUtf8(entry.first);
    p.lastName = QString::fromUtf8(entry.last);
    p.dob = entry.dob ? QString::fromLatin1(entry.dob) : QString();
    p.emrPatientId = entry.emrLink ? QString::number(31000 + number * 7) : QString();
    p.profileImageId = entry.picture ? QString::number(5100 + number * 3) : QString();
    p.emrDepartmentId = departmentId;
    return p;
}

QJsonValue textOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString wireTime(const QDateTime &utc) {
    return utc.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

struct PlannedVisit {
    int patientIndex;
    QString roomId;
    QString emrAppointmentId;
};

// Which patients come on `date`, in visiting order. Deterministic per date.
QList<PlannedVisit> planForDate(const QDate &date, const QList<DemoPatient> &patients) {
    QRandomGenerator rng(quint32(date.toJulianDay()));
    const int distinct = 16 + int(rng.bounded(10)); // 16..25 patients, plus one second visit
    QList<int> chosen(std::begin(kAlwaysBooked), std::end(kAlwaysBooked));
    QList<int> others;
    for (int i = 0; i < patients.size(); ++i)
        if (!chosen.contains(i))
            others.append(i);
    while (chosen.size() < distinct && !others.isEmpty())
        chosen.append(others.takeAt(int(rng.bounded(quint32(others.size())))));
    for (qsizetype i = chosen.size() - 1; i > 0; --i)
        chosen.swapItemsAt(i, qsizetype(rng.bounded(quint32(i + 1))));
    // The second visit of one patient comes a few slots after the first.
    const qsizetype first = chosen.indexOf(kTwiceBooked);
    chosen.insert(std::min(chosen.size(), first + 3), kTwiceBooked);

    QList<PlannedVisit> plan;
    for (qsizetype slot = 0; slot < chosen.size(); ++slot) {
        PlannedVisit visit;
        visit.patientIndex = chosen[slot];
        visit.roomId =
            slot == kSlotWithUnknownRoom ? QStringLiteral("99") : QString::number(1 + rng.bounded(6));
        const bool linked = !patients[visit.patientIndex].emrPatientId.isEmpty();
        if (linked && rng.bounded(5) != 0)
            visit.emrAppointmentId = QString::number(1100000 + rng.bounded(900000));
        plan.append(visit);
    }
    return plan;
}

} // namespace

DemoClinic::DemoClinic() {
    for (const auto &entry : kRoster) {
        const int index = int(m_patients.size());
        const int id = index < kFirstLaterPatient ? index : kLaterPatientNumber + index - kFirstLaterPatient;
        m_patients.append(makePatient(entry, id, id % 3 == 2 ? QStringLiteral("21") : QStringLiteral("1")));
    }
    int number = kFirstLaterPatient;
    for (const auto &entry : kEmrOnly)
        m_emrOnly.append(makePatient(entry, number++, QStringLiteral("1")));
    m_rooms = {{QStringLiteral("1"), QStringLiteral("Exam Room 1")},
               {QStringLiteral("2"), QStringLiteral("Exam Room 2")},
               {QStringLiteral("3"), QStringLiteral("Exam Room 3")},
               {QStringLiteral("4"), QStringLiteral("Procedure Room")},
               {QStringLiteral("5"), QStringLiteral("Pediatrics A")},
               {QStringLiteral("6"), QStringLiteral("Pediatrics B")}};
}

QJsonArray DemoClinic::examRoomsJson() const {
    QJsonArray rooms;
    for (const auto &[id, name] : m_rooms)
        rooms.append(QJsonObject{{QStringLiteral("ClinicExamRoom"),
                                  QJsonObject{{QStringLiteral("id"), id},
                                              {QStringLiteral("name"), name},
                                              {QStringLiteral("clinic_id"), QStringLiteral("3")}}}});
    return rooms;
}

QString DemoClinic::examRoomName(const QString &id) const {
    for (const auto &[roomId, name] : m_rooms)
        if (roomId == id)
            return name;
    return {};
}

QDate DemoClinic::localDateOfDayStart(const QDateTime &dayStartUtc) {
    // Local midnight west of UTC arrives as a morning time of the same date,
    // east of UTC as an afternoon time of the previous date.
    return dayStartUtc.toUTC().addSecs(13 * 3600).date();
}

QList<DemoAssignment> DemoClinic::scheduleForDay(const QDateTime &dayStartUtc) const {
    const QDate date = localDateOfDayStart(dayStartUtc);
    const QList<PlannedVisit> plan = planForDate(date, m_patients);
    QList<DemoAssignment> day;
    for (qsizetype slot = 0; slot < plan.size(); ++slot) {
        DemoAssignment a;
        const QString slotText = QStringLiteral("%1").arg(slot + 1, 2, 10, QLatin1Char('0'));
        a.assignmentId = date.toString(QStringLiteral("yyMMdd")) + slotText;
        a.interactionId = date.toString(QStringLiteral("yyyyMMdd")) + slotText;
        a.examRoomId = plan[slot].roomId;
        a.emrAppointmentId = plan[slot].emrAppointmentId;
        a.startUtc = dayStartUtc.toUTC().addSecs(8 * 3600 + slot * 20 * 60);
        a.patientIndex = plan[slot].patientIndex;
        day.append(a);
    }
    return day;
}

QList<DemoAssignment> DemoClinic::assignmentsBetween(const QDateTime &beginUtc,
                                                     const QDateTime &endUtc) const {
    QList<DemoAssignment> result;
    for (QDateTime dayStart = beginUtc.toUTC(); dayStart <= endUtc; dayStart = dayStart.addDays(1)) {
        for (const DemoAssignment &a : scheduleForDay(dayStart))
            if (a.startUtc >= beginUtc && a.startUtc <= endUtc)
                result.append(a);
    }
    return result;
}

QJsonObject DemoClinic::assignmentJson(const DemoAssignment &a) const {
    const DemoPatient &p = m_patients.at(a.patientIndex);
    QJsonArray links;
    if (!p.emrPatientId.isEmpty())
        links.append(QJsonObject{{QStringLiteral("id"), QString::number(600 + a.patientIndex)},
                                 {QStringLiteral("patient_id"), p.id},
                                 {QStringLiteral("emr_patient_id"), p.emrPatientId},
                                 {QStringLiteral("emr_name"), QStringLiteral("athenahealth")}});
    const QString created = wireTime(a.startUtc.addSecs(-15 * 60));
    return QJsonObject{
        {QStringLiteral("ClinicPatientDeviceAssignment"),
         QJsonObject{{QStringLiteral("id"), a.assignmentId},
                     {QStringLiteral("patient_id"), p.id},
                     {QStringLiteral("interaction_id"), a.interactionId},
                     {QStringLiteral("clinic_exam_room_id"), a.examRoomId},
                     {QStringLiteral("emr_appointment_id"), textOrNull(a.emrAppointmentId)},
                     {QStringLiteral("appointment_time"), wireTime(a.startUtc)},
                     {QStringLiteral("created"), created}}},
        {QStringLiteral("Patient"),
         QJsonObject{{QStringLiteral("id"), p.id},
                     {QStringLiteral("first_name"), p.firstName},
                     {QStringLiteral("last_name"), p.lastName},
                     {QStringLiteral("dob"), textOrNull(p.dob)},
                     {QStringLiteral("profile_image__upload_id"), textOrNull(p.profileImageId)},
                     {QStringLiteral("EmrPatientLink"), links}}},
        {QStringLiteral("Interaction"), QJsonObject{{QStringLiteral("id"), a.interactionId},
                                                    {QStringLiteral("patient_id"), p.id},
                                                    {QStringLiteral("created"), created}}},
    };
}

std::optional<DemoPatient> DemoClinic::patientForInteraction(const QString &interactionId) const {
    if (interactionId.size() != 10)
        return std::nullopt;
    const QDate date = QDate::fromString(interactionId.left(8), QStringLiteral("yyyyMMdd"));
    bool ok = false;
    const int slot = interactionId.mid(8).toInt(&ok) - 1;
    if (!date.isValid() || !ok || slot < 0)
        return std::nullopt;
    const QList<PlannedVisit> plan = planForDate(date, m_patients);
    if (slot >= plan.size())
        return std::nullopt;
    return m_patients.at(plan[slot].patientIndex);
}

std::optional<DemoPatient> DemoClinic::findPatient(QString DemoPatient::*member, const QString &value) const {
    if (value.isEmpty())
        return std::nullopt;
    for (const auto *list : {&m_patients, &m_emrOnly})
        for (const DemoPatient &p : *list)
            if (p.*member == value)
                return p;
    return std::nullopt;
}

std::optional<DemoPatient> DemoClinic::patientForEmrId(const QString &emrPatientId) const {
    return findPatient(&DemoPatient::emrPatientId, emrPatientId);
}

std::optional<DemoPatient> DemoClinic::patientForImage(const QString &imageId) const {
    return findPatient(&DemoPatient::profileImageId, imageId);
}

QImage DemoClinic::portrait(const DemoPatient &patient, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    const uint hash = qHash(patient.id);
    const QColor background = QColor::fromHsv(int(hash % 360), 90, 225);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width, height);
    const QPointF centre(width / 2.0, height / 2.0);
    const QColor figure = background.darker(150);
    painter.setPen(Qt::NoPen);
    painter.setBrush(figure);
    // Head and shoulders.
    painter.drawEllipse(QPointF(centre.x(), centre.y() - side * 0.12), side * 0.2, side * 0.2);
    painter.drawEllipse(QPointF(centre.x(), centre.y() + side * 0.5), side * 0.38, side * 0.3);
    // Initials across the chest.
    const QString initials = (patient.firstName.left(1) + patient.lastName.left(1)).toUpper();
    QFont font;
    font.setPixelSize(std::max(1, int(side * 0.16)));
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, centre.y() + side * 0.22, width, side * 0.22), Qt::AlignCenter, initials);
    painter.end();
    return image;
}

QJsonObject DemoClinic::fhirPatientBundle() const {
    QJsonArray entries;
    for (const auto *list : {&m_patients, &m_emrOnly}) {
        for (const DemoPatient &p : *list) {
            QJsonObject patient{
                {QStringLiteral("resourceType"), QStringLiteral("Patient")},
                {QStringLiteral("id"),
                 p.emrPatientId.isEmpty() ? QStringLiteral("kc-") + p.id : p.emrPatientId},
                {QStringLiteral("identifier"),
                 QJsonArray{
                     QJsonObject{{QStringLiteral("system"), QStringLiteral("urn:oid:2.16.840.1.113883.19.5")},
                                 {QStringLiteral("value"), QStringLiteral("MRN-") + p.id}}}},
                {QStringLiteral("name"),
                 QJsonArray{QJsonObject{{QStringLiteral("use"), QStringLiteral("official")},
                                        {QStringLiteral("family"), p.lastName},
                                        {QStringLiteral("given"),
                                         QJsonArray::fromStringList(p.firstName.split(QLatin1Char(' ')))}}}}};
            if (!p.dob.isEmpty())
                patient.insert(QStringLiteral("birthDate"), p.dob);
            entries.append(QJsonObject{{QStringLiteral("resource"), patient}});
        }
    }
    return {{QStringLiteral("resourceType"), QStringLiteral("Bundle")},
            {QStringLiteral("type"), QStringLiteral("collection")},
            {QStringLiteral("entry"), entries}};
}
