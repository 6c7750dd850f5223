#pragma once

#include <QString>

// An error as a value: a domain, a code and a description a person can read.
// Switchboard refusals: domain "Kivren", code = HTTP status. Transport failures: domain "URL"
// with the URL-loading codes below.
struct KivrenError
{
    QString domain;
    int code = 0;
    QString description;

    static inline const QString kivrenDomain = QStringLiteral("Kivren");
    static inline const QString urlDomain = QStringLiteral("URL");

    // URL-loading error codes (the values the original platform uses).
    enum UrlCode {
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        tooManyRedirects = -1007,
        badServerResponse = -1011,
        dataLengthExceedsMaximum = -1103,
        secureConnectionFailed = -1200,
        serverCertificateUntrusted = -1202,
        unknown = -1,
    };

    static KivrenError kivren(int code, const QString &description) { return {kivrenDomain, code, description}; }
    static KivrenError url(UrlCode code, const QString &description) { return {urlDomain, code, description}; }

    friend bool operator==(const KivrenError &, const KivrenError &) = default;
};
