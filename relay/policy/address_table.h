// What the relay remembers about client addresses between their connections (a key pause, the
// recordings an address started lately), for at most a fixed number of addresses: when the
// table is full, the address touched longest ago is forgotten first, so a client with many
// addresses cannot make the relay remember without bound.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <iterator>
#include <list>
#include <map>
#include <utility>

namespace kavro::relay {

template <typename Entry>
class AddressTable {
  public:
    using Address = boost::asio::ip::address;

    explicit AddressTable(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

    Entry* find(const Address& address) {
        const auto it = index_.find(address);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    const Entry* find(const Address& address) const {
        const auto it = index_.find(address);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    // The entry of `address` (a new one when there was none), now the most recently touched.
    Entry& touch(const Address& address) {
        if (const auto it = index_.find(address); it != index_.end()) {
            order_.splice(order_.begin(), order_, it->second);
            return it->second->second;
        }
        if (index_.size() >= capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        order_.emplace_front(address, Entry{});
        index_.emplace(address, order_.begin());
        return order_.front().second;
    }
    // Forgets every address whose entry `done(entry)` says is of no more use.
    template <typename Done>
    void forget_if(Done done) {
        for (auto it = order_.begin(); it != order_.end();) {
            if (done(it->second)) {
                index_.erase(it->first);
                it = order_.erase(it);
            } else {
                ++it;
            }
        }
    }
    template <typename Visit>
    void for_each(Visit visit) const {
        for (const auto& [address, entry] : order_) visit(address, entry);
    }
    std::size_t size() const { return index_.size(); }
    std::size_t capacity() const { return capacity_; }

  private:
    std::size_t capacity_;
    std::list<std::pair<Address, Entry>> order_;  // most recently touched first
    std::map<Address, typename std::list<std::pair<Address, Entry>>::iterator> index_;
};

}  // namespace kavro::relay
