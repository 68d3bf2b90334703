// The routers known, by address and port, in the order they were last wanted. A full table
// makes room by forgetting the router wanted least recently among those that never
// answered, and only when there is none among those that did; one that a request waits for
// (busy) is never forgotten. So targets that never answer (junk) push out only each other.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

template <typename Entry> class router_table {
  public:
    using time = std::chrono::steady_clock::time_point;

    explicit router_table(size_t capacity) : capacity_(capacity) {}

    // The entry for key, wanted at now: made when there is none, after making room when the
    // table is full (the entry forgotten for it goes to forgotten). nullptr when every entry
    // is busy.
    Entry *want(const std::string &key, time now, std::unique_ptr<Entry> &forgotten) {
        auto found = nodes_.find(key);
        if (found == nodes_.end()) {
            if (nodes_.size() >= capacity_ && !(forgotten = make_room()))
                return nullptr;
            found = nodes_.try_emplace(key).first;
            node &made = found->second;
            made.entry = std::make_unique<Entry>();
            made.key = &found->first;
            made.place = never_.insert(never_.end(), &made);
        }
        node &n = found->second;
        n.wanted = now;
        auto &list = n.answered ? answered_ : never_;
        list.splice(list.end(), list, n.place);
        return n.entry.get();
    }

    // The entry of key answered: it is kept ahead of those that never did.
    void answered(const std::string &key) {
        auto found = nodes_.find(key);
        if (found == nodes_.end() || found->second.answered)
            return;
        node &n = found->second;
        n.answered = true;
        // Among those that answered, in the order wanted: from its own place in time.
        auto at = answered_.end();
        while (at != answered_.begin() && (*std::prev(at))->wanted > n.wanted)
            --at;
        answered_.splice(at, never_, n.place);
    }

    // f(entry) for every entry last wanted before `before`.
    template <typename F> void each_wanted_before(time before, F f) {
        for (auto *list : {&never_, &answered_})
            for (node *n : *list) {
                if (n->wanted >= before)
                    break;
                f(*n->entry);
            }
    }

    // Takes out every entry last wanted before `before` that is not busy.
    std::vector<std::unique_ptr<Entry>> forget_wanted_before(time before) {
        std::vector<std::unique_ptr<Entry>> out;
        for (auto *list : {&never_, &answered_})
            for (auto it = list->begin(); it != list->end() && (*it)->wanted < before;) {
                node *n = *it++;
                if (!n->entry->busy())
                    out.push_back(take(*n));
            }
        return out;
    }

    template <typename F> void each(F f) const {
        for (const auto &[key, n] : nodes_)
            f(*n.entry);
    }
    size_t size() const { return nodes_.size(); }

  private:
    struct node {
        std::unique_ptr<Entry> entry;
        time wanted{};
        bool answered = false;
        typename std::list<node *>::iterator place;
        const std::string *key = nullptr; // the map's own
    };

    std::unique_ptr<Entry> make_room() {
        for (auto *list : {&never_, &answered_})
            for (node *n : *list)
                if (!n->entry->busy())
                    return take(*n);
        return nullptr;
    }

    std::unique_ptr<Entry> take(node &n) {
        std::unique_ptr<Entry> entry = std::move(n.entry);
        (n.answered ? answered_ : never_).erase(n.place);
        std::string key = *n.key; // not a reference into what is erased
        nodes_.erase(key);
        return entry;
    }

    size_t capacity_;
    std::unordered_map<std::string, node> nodes_;
    std::list<node *> never_, answered_;
};
