#include "wire/outbound_records.h"

#include <algorithm>

namespace kavro::wire {
namespace {

void put_tag(std::span<std::uint8_t> record, std::string_view tag) {
    std::copy(tag.begin(), tag.end(), record.begin());
}

}  // namespace

std::span<const std::uint8_t> OutboundRecords::prepare_hello(bool cast_mode) {
    put_tag(hello, kTagHello);
    put_u16le(hello, kHelloLengthOffset, kHelloLengthValue);
    hello[kHelloModeOffset] = cast_mode ? kModeCast : kModeWatch;
    put_text_field(hello, kHelloVersionOffset, kVersionWidth, kClientVersion);
    hello[kHelloReservedOffset] = 0;
    return hello;
}

void OutboundRecords::set_cast(std::string_view name, std::string_view track) {
    put_text_field(hello, kHelloNameOffset, kNameWidth, name);
    put_text_field(hello, kHelloTrackOffset, kTrackWidth, track);
}

std::span<const std::uint8_t, kTrackWidth> OutboundRecords::hello_track() const {
    return std::span<const std::uint8_t, kTrackWidth>(hello.data() + kHelloTrackOffset,
                                                      kTrackWidth);
}

std::span<const std::uint8_t> OutboundRecords::prepare_watch_request(std::string_view name) {
    put_tag(watch_request, kTagWatchRequest);
    put_text_field(watch_request, kWatchRequestNameOffset, kNameWidth, name);
    return watch_request;
}

std::span<std::uint8_t, kHeaderUploadDataSize> OutboundRecords::header_data() {
    return std::span<std::uint8_t, kHeaderUploadDataSize>(header_upload.data() + kUploadDataOffset,
                                                          kHeaderUploadDataSize);
}

std::span<const std::uint8_t> OutboundRecords::prepare_header_upload() {
    put_tag(header_upload, kTagHeaderUpload);
    return header_upload;
}

std::span<std::uint8_t, kBlockSize> OutboundRecords::block_data() {
    return std::span<std::uint8_t, kBlockSize>(block_upload.data() + kUploadDataOffset, kBlockSize);
}

std::span<const std::uint8_t> OutboundRecords::prepare_block_upload() {
    put_tag(block_upload, kTagBlockUpload);
    return block_upload;
}

}  // namespace kavro::wire
