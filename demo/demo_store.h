#pragma once
// Durable storage of what clients filed with the demo service: one folder
// per day for clinic documentations (the record as JSON and its decoded PNG)
// and for EMR documents (the fields as JSON and the PDF). What was stored by
// earlier runs is loaded again at start.

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

struct StoredDocumentation {
    QJsonObject record; // as received
    QString jsonPath;
    QString pngPath;
    QDateTime receivedAt;
};

struct StoredEmrDocument {
    QJsonObject fields; // patient_id, practice_id, documentid, every text field received
    QString jsonPath;
    QString pdfPath;
    QDateTime receivedAt;
};

class DemoStore {
public:
    explicit DemoStore(const QString &dataDir);

    // Creates the folders and loads earlier records; false with a message
    // when the data folder cannot be used.
    bool open(QString *error);

    QString dataDir() const { return m_dataDir; }
    const QList<StoredDocumentation> &documentations() const { return m_documentations; }
    const QList<StoredEmrDocument> &emrDocuments() const { return m_emrDocuments; }

    // Every POST is stored as it arrives, as a real service does; these
    // report what arrived more than once: documentation record ids
    // ({"id", "count"}) and EMR documents of one patient with one action note
    // ({"patient_id", "actionnote", "count"}).
    QJsonArray repeatedDocumentationIds() const;
    QJsonArray repeatedEmrDocuments() const;

    // Writes the record and its image; false with a message on a write error
    // (nothing is kept in that case).
    bool storeDocumentation(const QJsonObject &record, const QByteArray &png, QString *error);
    // Assigns the next document id (written into the fields as "documentid")
    // and writes the fields and the PDF.
    bool storeEmrDocument(QJsonObject fields, const QByteArray &pdf, QString *documentId, QString *error);

private:
    QString dayFolder(const QString &kind, const QDateTime &when, QString *error) const;
    void loadDocumentations();
    void loadEmrDocuments();

    QString m_dataDir;
    QList<StoredDocumentation> m_documentations;
    QList<StoredEmrDocument> m_emrDocuments;
    qint64 m_nextDocumentId = 150001;
    int m_sequence = 0;
};
