#include "midi/alsa/mirror.h"

#include "midi/alsa/portnames.h"

namespace midi::alsa {

namespace {

// The system client and our own are never listed, so never kept.
bool kept(const Mirror& m, int client) { return client != 0 && client != m.self; }

bool changed(Mirror& m) {
    ++m.generation;
    return true;
}

Port port(Mirror& m, const PortInfo& info) { return {info.name, info.caps, info.type, ++m.serials}; }

// The card's key is read again before its ports are next listed.
void forgetCard(Client& c) {
    c.cardKey.reset();
    c.cardMisses = 0;
}

}  // namespace

bool clientStart(Mirror& m, const ClientInfo& info) {
    if (!kept(m, info.client)) return false;
    auto it = m.clients.find(info.client);
    if (it != m.clients.end() && it->second.ports.empty() && it->second.name == info.name &&
        it->second.card == info.card)
        return false;
    m.clients[info.client] = Client{info.name, info.card, std::nullopt, 0, {}};
    return changed(m);
}

bool clientChange(Mirror& m, const ClientInfo& info) {
    if (!kept(m, info.client)) return false;
    auto [it, added] = m.clients.try_emplace(info.client, Client{info.name, info.card, std::nullopt, 0, {}});
    if (added) return changed(m);
    Client& c = it->second;
    if (c.name == info.name && c.card == info.card) return false;
    c.name = info.name;
    c.card = info.card;
    forgetCard(c);  // another card, or another client at its number
    return changed(m);
}

bool clientExit(Mirror& m, int client) { return m.clients.erase(client) > 0 && changed(m); }

bool portStart(Mirror& m, const PortInfo& info) {
    auto it = m.clients.find(info.client);
    if (it == m.clients.end()) return false;
    forgetCard(it->second);
    it->second.ports.insert_or_assign(info.port, port(m, info));
    return changed(m);
}

bool portChange(Mirror& m, const PortInfo& info) {
    auto it = m.clients.find(info.client);
    if (it == m.clients.end()) return false;
    auto& ports = it->second.ports;
    auto p = ports.find(info.port);
    if (p == ports.end()) {
        ports.emplace(info.port, port(m, info));
        return changed(m);
    }
    Port& have = p->second;
    if (have.name == info.name && have.caps == info.caps && have.type == info.type) return false;
    have.name = info.name;
    have.caps = info.caps;
    have.type = info.type;
    return changed(m);
}

bool portExit(Mirror& m, int client, int port) {
    auto it = m.clients.find(client);
    return it != m.clients.end() && it->second.ports.erase(port) > 0 && changed(m);
}

bool reset(Mirror& m, const std::vector<ClientInfo>& clients, const std::vector<PortInfo>& ports) {
    std::map<int, Client> next;
    for (const auto& info : clients) {
        if (!kept(m, info.client)) continue;
        next.emplace(info.client, Client{info.name, info.card, std::nullopt, 0, {}});
    }
    for (const auto& info : ports) {
        auto c = next.find(info.client);
        if (c == next.end()) continue;
        Port p{info.name, info.caps, info.type, 0};
        auto old = m.clients.find(info.client);
        if (old != m.clients.end() && old->second.name == c->second.name) {
            auto q = old->second.ports.find(info.port);
            if (q != old->second.ports.end() && q->second.name == info.name) p.serial = q->second.serial;
        }
        if (p.serial == 0) p.serial = ++m.serials;
        c->second.ports.insert_or_assign(info.port, std::move(p));
    }
    auto same = [](const std::map<int, Client>& a, const std::map<int, Client>& b) {
        if (a.size() != b.size()) return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
            if (i->first != j->first || i->second.name != j->second.name || i->second.card != j->second.card ||
                i->second.ports != j->second.ports)
                return false;
        return true;
    };
    if (same(m.clients, next)) return false;
    // A card's key is kept only where its client and every one of its ports
    // are as before; a port that is new may belong to a new device.
    for (auto& [number, c] : next) {
        auto old = m.clients.find(number);
        if (old != m.clients.end() && old->second.name == c.name && old->second.card == c.card &&
            old->second.ports == c.ports) {
            c.cardKey = old->second.cardKey;
            c.cardMisses = old->second.cardMisses;
        }
    }
    m.clients.swap(next);
    return changed(m);
}

bool readCards(Mirror& m, const CardKeys& cardKey) {
    bool known = false;
    for (auto& [number, c] : m.clients) {
        if (c.card < 0 || c.cardKey) continue;
        c.cardKey = cardKey(c.card);
        if (!c.cardKey && ++c.cardMisses >= cardTries) c.cardKey = "";
        known = known || c.cardKey;
    }
    return known;
}

bool cardsUnknown(const Mirror& m) {
    for (const auto& [number, c] : m.clients)
        if (c.card >= 0 && !c.cardKey) return true;
    return false;
}

std::vector<Entry> derive(Mirror& m, const CardKeys& cardKey) {
    std::vector<Entry> entries;
    std::vector<ports::Key> keys;
    readCards(m, cardKey);
    for (auto& [number, c] : m.clients) {
        if (c.card >= 0 && !c.cardKey) continue;
        for (const auto& [at, p] : c.ports) {
            auto listing = ports::listing(number, m.self, p.caps, p.type);
            if (listing == ports::Listing::hidden) continue;
            entries.push_back({ref(number, at),
                               listing == ports::Listing::offline, 0, ports::validUtf8(p.name),
                               ports::displayName(c.name, p.name), p.serial, c.name, p.name, p.caps, p.type, c.card});
            keys.push_back({c.card >= 0 ? std::string_view(*c.cardKey) : std::string_view(), c.name, p.name, at});
        }
    }
    std::vector<std::int32_t> ids(entries.size());
    ports::uniqueIds(keys.data(), keys.size(), ids.data());
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].uid = ids[i];
    return entries;
}

}  // namespace midi::alsa
