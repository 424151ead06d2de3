#pragma once
// The settings of the FHIR client's two sign-ins and what the clinician's own
// sign-in puts into a document (the FHIR client's standalone sign-in is
// implemented in fhir_user_sign_in.cpp).

#include <QString>
#include <QUrl>
#include <QVariantMap>

// A setting that clinic IT may manage: the managed value (`managedKey` in the
// settings files) when set; none when IT locked the key without a value;
// else the clinic configuration's `emrKey`.
QString fhirConfiguredValue(const QVariantMap &emrData, const QString &emrKey, const QString &managedKey);

// "standalone" or "backend" (lower case; any other text as given): "launch",
// else "backend" when a backend's key is configured (the managed key file,
// "private_key", "key_id" or "algorithm": a backend service set up before
// there was a choice), else "standalone".
QString fhirLaunchMode(const QVariantMap &emrData);

// "Organization/<id>" from an id, a relative reference or an absolute URL
// (kept as it is); empty for empty.
QString fhirOrganizationReference(const QString &configured);

// The signed-in user as a reference for the document's author: relative when
// `fhirUser` lies under the FHIR base, else the absolute URL.
QString fhirAuthorReference(const QUrl &fhirBase, const QString &fhirUser);

// Why the private key file may not be used ("" when it may): it must be a
// file of this user that no one else may read or write.
QString fhirKeyFileProblem(const QString &path);

// Who is signed in to the clinic service now ("" when no source is set).
QString fhirClinicUser();
