#include "link/outbound_records.h"

#include <algorithm>

namespace kavro {
namespace {

void put_tag(std::span<std::uint8_t> record, std::string_view tag) {
    std::copy(tag.begin(), tag.end(), record.begin());
}

}  // namespace

std::span<const std::uint8_t> OutboundRecords::prepare_hello(bool cast_mode) {
    put_tag(hello, wire::kTagHello);
    wire::put_u16le(hello, wire::kHelloLengthOffset, wire::kHelloLengthValue);
    hello[wire::kHelloModeOffset] = cast_mode ? wire::kModeCast : wire::kModeWatch;
    wire::put_text_field(hello, wire::kHelloVersionOffset, wire::kVersionWidth,
                         wire::kClientVersion);
    hello[wire::kHelloReservedOffset] = 0;
    return hello;
}

void OutboundRecords::set_cast(std::string_view name, std::string_view track) {
    wire::put_text_field(hello, wire::kHelloNameOffset, wire::kNameWidth, name);
    wire::put_text_field(hello, wire::kHelloTrackOffset, wire::kTrackWidth, track);
}

std::span<const std::uint8_t, wire::kTrackWidth> OutboundRecords::hello_track() const {
    return std::span<const std::uint8_t, wire::kTrackWidth>(hello.data() + wire::kHelloTrackOffset,
                                                            wire::kTrackWidth);
}

std::span<const std::uint8_t> OutboundRecords::prepare_watch_request(std::string_view name) {
    put_tag(watch_request, wire::kTagWatchRequest);
    wire::put_text_field(watch_request, wire::kWatchRequestNameOffset, wire::kNameWidth, name);
    return watch_request;
}

std::span<std::uint8_t, wire::kHeaderUploadDataSize> OutboundRecords::header_data() {
    return std::span<std::uint8_t, wire::kHeaderUploadDataSize>(
        header_upload.data() + wire::kUploadDataOffset, wire::kHeaderUploadDataSize);
}

std::span<const std::uint8_t> OutboundRecords::prepare_header_upload() {
    put_tag(header_upload, wire::kTagHeaderUpload);
    return header_upload;
}

std::span<std::uint8_t, wire::kBlockSize> OutboundRecords::block_data() {
    return std::span<std::uint8_t, wire::kBlockSize>(block_upload.data() + wire::kUploadDataOffset,
                                                     wire::kBlockSize);
}

std::span<const std::uint8_t> OutboundRecords::prepare_block_upload() {
    put_tag(block_upload, wire::kTagBlockUpload);
    return block_upload;
}

}  // namespace kavro
