#include "emr/athenahealth_fields.h"

#include "emr/emr_document_file.h"

bool athenaIsPresent(const QVariant &v) {
    return v.isValid() && !v.isNull() && v.metaType().id() != QMetaType::Nullptr;
}

QString athenaText(const QVariant &v) {
    if (!athenaIsPresent(v))
        return {};
    if (v.metaType().id() == QMetaType::Double) {
        const double d = v.toDouble();
        if (d == double(qint64(d)))
            return QString::number(qint64(d));
    }
    return v.toString();
}

QVariantMap athenaDocumentFields(const AthenaDocumentInput &input, KCError *error) {
    const bool withAppointment = !input.appointmentID.isEmpty();
    QString department = input.selectedDepartmentID;
    if (!withAppointment && !input.appointmentDepartment.isEmpty())
        department = input.appointmentDepartment;
    if (department.isEmpty()) {
        if (error)
            *error =
                makeEMRError(KCEMRErrorMissingDocumentField,
                             QStringLiteral("No athenahealth department is configured for the document."));
        return {};
    }
    QVariantMap fields;
    fields.insert(QStringLiteral("actionnote"), input.entryID);
    if (withAppointment)
        fields.insert(QStringLiteral("appointmentid"), input.appointmentID);
    fields.insert(QStringLiteral("autoclose"), QStringLiteral("true"));
    fields.insert(QStringLiteral("departmentid"), department);
    fields.insert(QStringLiteral("documentsubclass"), QStringLiteral("ENCOUNTERDOCUMENT_IMAGEDOC"));
    fields.insert(QStringLiteral("internalnote"), input.encounterNote);
    return fields;
}

QString athenaPercentEncodeForHost(const QString &text) {
    static const QByteArray allowed = QByteArrayLiteral("!$&'()*+,-.:;=[]_~");
    QString out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const uchar c = uchar(ch);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          (c < 0x80 && allowed.contains(char(c)));
        if (keep)
            out += QLatin1Char(char(c));
        else
            out += QStringLiteral("%%1").arg(uint(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString athenaEncounterQuery(const QString &departmentID, const QString &providerID, const QDate &day) {
    const QString date = day.toString(QStringLiteral("MM/dd/yyyy"));
    return athenaPercentEncodeForHost(QStringLiteral("departmentid=%1&providerid=%2&enddate=%3&startdate=%4")
                                          .arg(departmentID, providerID, date, date));
}

QString athenaCapitalized(const QString &text) {
    QString out = text.toLower();
    bool wordStart = true;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c.isSpace() || c == u'-') {
            wordStart = true;
        } else if (wordStart) {
            out.replace(i, 1, c.toUpper());
            wordStart = false;
        }
    }
    return out;
}

QVariantMap athenaPatientFromSearchAnswer(const QVariantMap &patient, const QVariantList &ptImageArray) {
    QVariantMap out;
    auto copy = [&](const char *from, const char *to, bool capitalise) {
        const QVariant v = patient.value(QLatin1String(from));
        if (!athenaIsPresent(v))
            return;
        out.insert(QLatin1String(to), capitalise ? QVariant(athenaCapitalized(v.toString())) : v);
    };
    copy("firstname", "pt_firstname", true);
    copy("lastname", "pt_lastname", true);
    copy("dob", "pt_dob", false);
    copy("patientid", "emr_patient_id", false);
    copy("currentdepartmentid", "department_id", false);

    const QString patientID = athenaText(patient.value(QStringLiteral("patientid")));
    if (!patientID.isEmpty()) {
        for (const QVariant &entry : ptImageArray) {
            const QVariantMap photo = entry.toMap();
            if (athenaText(photo.value(QStringLiteral("emr_patient_id"))) == patientID) {
                out.insert(QStringLiteral("pt_profile_image"), photo.value(QStringLiteral("image")));
                break;
            }
        }
    }
    return out;
}
