// The reference service's parsers of what a client sends: the XML bodies of
// PROPFIND and PROPPATCH, request paths, and the envelope at the head of a
// submission.
//
// Input: one byte choosing the parser, then its input.

#include "FuzzHarness.h"

#include "DavRequestBody.h"
#include "PathSegments.h"
#include "SubmissionEnvelope.h"

namespace {

// The body opens with a document type declaration (after the XML
// declaration, if any): the service takes no such body.
bool opensWithDoctype(const QByteArray &body)
{
    QByteArray rest = body.trimmed();
    if (rest.startsWith("<?xml")) {
        const qsizetype end = rest.indexOf("?>");
        if (end < 0)
            return false;
        rest = rest.mid(end + 2).trimmed();
    }
    return rest.startsWith("<!DOCTYPE");
}

void propfind(const QByteArray &body)
{
    PropfindRequest request;
    const DavRequestBody::Outcome outcome = DavRequestBody::parsePropfind(body, &request);
    if (body.size() > DavRequestBody::MaxXmlBodyBytes)
        FuzzHarness::require(outcome == DavRequestBody::Outcome::TooLarge, "oversized body taken", body.left(64));
    if (opensWithDoctype(body))
        FuzzHarness::require(outcome != DavRequestBody::Outcome::Ok, "a body with a DTD was taken", body);
}

void propertyUpdate(const QByteArray &body)
{
    QList<PropertyUpdate> updates;
    const DavRequestBody::Outcome outcome = DavRequestBody::parsePropertyUpdate(body, &updates);
    if (opensWithDoctype(body))
        FuzzHarness::require(outcome != DavRequestBody::Outcome::Ok, "a body with a DTD was taken", body);
    for (const PropertyUpdate &update : updates)
        FuzzHarness::require(!update.name.name.isEmpty(), "an update without a property name", body);
}

void path(const QByteArray &raw)
{
    const PathSegments parsed = PathSegments::parse(raw);
    if (!parsed.isValid())
        return;
    FuzzHarness::require(raw.startsWith('/'), "a relative path was taken", raw);
    for (const QByteArray &segment : parsed.segments()) {
        FuzzHarness::require(!segment.isEmpty() && segment != "." && segment != "..", "an unsafe segment", raw);
        FuzzHarness::require(!segment.contains('/') && !segment.contains('\0'), "a segment leaves its folder", raw);
        // What the service writes into addresses reads back as the same name.
        QByteArray decoded;
        FuzzHarness::require(PathSegments::decode(PathSegments::encode(segment, "@"), &decoded) && decoded == segment,
                             "encode and decode disagree", segment);
        const PathSegments again = PathSegments::parse('/' + PathSegments::encode(segment));
        FuzzHarness::require(again.isValid() && again.size() == 1 && again.at(0) == segment, "encoded segment reparsed",
                             segment);
    }
}

void envelope(const QByteArray &body)
{
    SubmissionEnvelope parsed;
    if (!parsed.parse(body)) {
        FuzzHarness::require(!parsed.reason().isEmpty(), "refused without a reason", body);
        return;
    }
    FuzzHarness::require(parsed.messageOffset() > 0 && parsed.messageOffset() <= body.size(), "message offset", body);
    FuzzHarness::require(body.mid(parsed.messageOffset() - 1, 1) == "\n", "message does not follow a line end", body);
    const QList<QByteArray> &recipients = parsed.recipients();
    FuzzHarness::require(!recipients.isEmpty() && recipients.size() <= SubmissionEnvelope::MaxRecipients,
                         "number of recipients", body);
    for (qsizetype i = 0; i < recipients.size(); ++i) {
        FuzzHarness::require(!recipients.at(i).contains('\n') && !recipients.at(i).contains('\r'),
                             "a recipient holds a line end", body);
        for (qsizetype j = i + 1; j < recipients.size(); ++j)
            FuzzHarness::require(recipients.at(i).toLower() != recipients.at(j).toLower(), "a repeated recipient",
                                 body);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHarness::InputReader input(data, size);
    const quint8 which = input.byte();
    const QByteArray rest = input.rest();
    switch (which % 4) {
    case 0:
        propfind(rest);
        break;
    case 1:
        propertyUpdate(rest);
        break;
    case 2:
        path(rest);
        break;
    default:
        envelope(rest);
        break;
    }
    return 0;
}
