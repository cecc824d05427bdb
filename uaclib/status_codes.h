// OPC UA status codes used by the library (values from the published status code table).
#ifndef UACLIB_STATUS_CODES_H
#define UACLIB_STATUS_CODES_H

#include <cstdint>

namespace uaclib {

using StatusCode = uint32_t;

// A status is bad when its two top bits are 10 (severity Bad).
constexpr bool IsBad(StatusCode s) { return (s & 0xC0000000u) == 0x80000000u; }

namespace status {
constexpr StatusCode Good = 0x00000000u;
constexpr StatusCode BadUnexpectedError = 0x80010000u;
constexpr StatusCode BadInternalError = 0x80020000u;
constexpr StatusCode BadOutOfMemory = 0x80030000u;
constexpr StatusCode BadResourceUnavailable = 0x80040000u;
constexpr StatusCode BadCommunicationError = 0x80050000u;
constexpr StatusCode BadEncodingError = 0x80060000u;
constexpr StatusCode BadDecodingError = 0x80070000u;
constexpr StatusCode BadEncodingLimitsExceeded = 0x80080000u;
constexpr StatusCode BadRequestTooLarge = 0x80B80000u;
constexpr StatusCode BadResponseTooLarge = 0x80B90000u;
constexpr StatusCode BadTimeout = 0x800A0000u;
constexpr StatusCode BadServiceUnsupported = 0x800B0000u;
constexpr StatusCode BadShutdown = 0x800C0000u;
constexpr StatusCode BadNothingToDo = 0x800F0000u;
constexpr StatusCode BadTooManyOperations = 0x80100000u;
constexpr StatusCode BadTooManyMonitoredItems = 0x80DB0000u;
constexpr StatusCode BadDataTypeIdUnknown = 0x80110000u;
constexpr StatusCode BadCertificateInvalid = 0x80120000u;
constexpr StatusCode BadSecurityChecksFailed = 0x80130000u;
constexpr StatusCode BadCertificateTimeInvalid = 0x80140000u;
constexpr StatusCode BadCertificateIssuerTimeInvalid = 0x80150000u;
constexpr StatusCode BadCertificateUriInvalid = 0x80170000u;
constexpr StatusCode BadCertificateUseNotAllowed = 0x80180000u;
constexpr StatusCode BadCertificateIssuerUseNotAllowed = 0x80190000u;
constexpr StatusCode BadCertificateUntrusted = 0x801A0000u;
constexpr StatusCode BadCertificateRevoked = 0x801D0000u;
constexpr StatusCode BadCertificateIssuerRevoked = 0x801E0000u;
constexpr StatusCode BadCertificateChainIncomplete = 0x810D0000u;
constexpr StatusCode BadUserAccessDenied = 0x801F0000u;
constexpr StatusCode BadIdentityTokenInvalid = 0x80200000u;
constexpr StatusCode BadIdentityTokenRejected = 0x80210000u;
constexpr StatusCode BadSecureChannelIdInvalid = 0x80220000u;
constexpr StatusCode BadNonceInvalid = 0x80240000u;
constexpr StatusCode BadSessionIdInvalid = 0x80250000u;
constexpr StatusCode BadSessionClosed = 0x80260000u;
constexpr StatusCode BadSessionNotActivated = 0x80270000u;
constexpr StatusCode BadSubscriptionIdInvalid = 0x80280000u;
constexpr StatusCode BadRequestHeaderInvalid = 0x802A0000u;
constexpr StatusCode BadTimestampsToReturnInvalid = 0x802B0000u;
constexpr StatusCode BadNodeIdInvalid = 0x80330000u;
constexpr StatusCode BadNodeIdUnknown = 0x80340000u;
constexpr StatusCode BadAttributeIdInvalid = 0x80350000u;
constexpr StatusCode BadIndexRangeInvalid = 0x80360000u;
constexpr StatusCode BadIndexRangeNoData = 0x80370000u;
constexpr StatusCode BadDataEncodingInvalid = 0x80380000u;
constexpr StatusCode BadDataEncodingUnsupported = 0x80390000u;
constexpr StatusCode BadNotReadable = 0x803A0000u;
constexpr StatusCode BadNotWritable = 0x803B0000u;
constexpr StatusCode BadOutOfRange = 0x803C0000u;
constexpr StatusCode BadNotSupported = 0x803D0000u;
constexpr StatusCode BadMonitoringModeInvalid = 0x80410000u;
constexpr StatusCode BadMonitoredItemIdInvalid = 0x80420000u;
constexpr StatusCode BadMonitoredItemFilterInvalid = 0x80430000u;
constexpr StatusCode BadMonitoredItemFilterUnsupported = 0x80440000u;
constexpr StatusCode BadFilterNotAllowed = 0x80450000u;
constexpr StatusCode BadContinuationPointInvalid = 0x804A0000u;
constexpr StatusCode BadNoContinuationPoints = 0x804B0000u;
constexpr StatusCode BadReferenceTypeIdInvalid = 0x804C0000u;
constexpr StatusCode BadBrowseDirectionInvalid = 0x804D0000u;
constexpr StatusCode BadRequestTypeInvalid = 0x80530000u;
constexpr StatusCode BadSecurityModeRejected = 0x80540000u;
constexpr StatusCode BadSecurityPolicyRejected = 0x80550000u;
constexpr StatusCode BadApplicationSignatureInvalid = 0x80580000u;
constexpr StatusCode BadTooManySessions = 0x80560000u;
constexpr StatusCode BadBrowseNameInvalid = 0x80600000u;
constexpr StatusCode BadViewIdUnknown = 0x806B0000u;
constexpr StatusCode BadNoMatch = 0x806F0000u;
constexpr StatusCode BadMaxAgeInvalid = 0x80700000u;
constexpr StatusCode BadWriteNotSupported = 0x80730000u;
constexpr StatusCode BadTypeMismatch = 0x80740000u;
constexpr StatusCode BadTooManySubscriptions = 0x80770000u;
constexpr StatusCode BadTooManyPublishRequests = 0x80780000u;
constexpr StatusCode BadNoSubscription = 0x80790000u;
constexpr StatusCode BadSequenceNumberUnknown = 0x807A0000u;
constexpr StatusCode BadMessageNotAvailable = 0x807B0000u;
constexpr StatusCode BadTcpServerTooBusy = 0x807D0000u;
constexpr StatusCode BadTcpMessageTypeInvalid = 0x807E0000u;
constexpr StatusCode BadTcpSecureChannelUnknown = 0x807F0000u;
constexpr StatusCode BadTcpMessageTooLarge = 0x80800000u;
constexpr StatusCode BadTcpNotEnoughResources = 0x80810000u;
constexpr StatusCode BadTcpInternalError = 0x80820000u;
constexpr StatusCode BadTcpEndpointUrlInvalid = 0x80830000u;
constexpr StatusCode BadRequestTimeout = 0x80850000u;
constexpr StatusCode BadSecureChannelClosed = 0x80860000u;
constexpr StatusCode BadSecureChannelTokenUnknown = 0x80870000u;
constexpr StatusCode BadSequenceNumberInvalid = 0x80880000u;
constexpr StatusCode BadProtocolVersionUnsupported = 0x80BE0000u;
constexpr StatusCode BadDeadbandFilterInvalid = 0x808E0000u;
constexpr StatusCode BadInvalidArgument = 0x80AB0000u;
constexpr StatusCode BadInvalidState = 0x80AF0000u;
constexpr StatusCode BadMaxConnectionsReached = 0x80B70000u;
}  // namespace status

}  // namespace uaclib
#endif
