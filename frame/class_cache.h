// Facts about classes, kept per class without keeping any class alive.
//
// Each entry holds a weak reference to its class, whose callback drops the
// entry as the class dies (before its address can be reused); at its bound the
// cache drops one entry rather than the whole table. A cache is never
// destroyed: it holds interpreter objects, which must not be released after
// the interpreter has gone at exit.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace frame {

template <class Value>
class ClassCache {
public:
    // `name` names the weak references' callback; `bound` is the most classes kept.
    ClassCache(const char* name, std::size_t bound)
        : entries_(*new std::unordered_map<PyTypeObject*, Entry>()),
          bound_(bound),
          drop_def_{.ml_name = name, .ml_meth = drop, .ml_flags = METH_O, .ml_doc = nullptr} {}
    ClassCache(const ClassCache&) = delete;
    ClassCache& operator=(const ClassCache&) = delete;

    // The value kept for `type`, or null. Valid until interpreter code runs.
    Value* find(PyTypeObject* type) {
        Recent& recent = recent_of(type);
        if (recent.type == type) return recent.value;
        auto found = entries_.find(type);
        if (found == entries_.end()) return nullptr;
        recent = Recent{.type = type, .value = &found->second.value};
        return recent.value;
    }

    // Keeps `value` for `type`, replacing what was there; 0, or -1 with an
    // exception set (and nothing changed) when the weak reference cannot be made.
    int store(PyTypeObject* type, Value value) {
        // Everything that may run interpreter code (and so a callback) comes
        // before the map is changed.
        if (!callback_) {
            Ref self = Ref::steal(PyCapsule_New(this, nullptr, nullptr));
            callback_ = self ? PyCFunction_New(&drop_def_, self.get()) : nullptr;
            if (!callback_) return -1;
        }
        Ref class_ref =
            Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), callback_));
        if (!class_ref) return -1;
        Entry replaced;  // released after the map is consistent
        if (auto found = entries_.find(type); found != entries_.end()) {
            replaced = std::move(found->second);
            erase(found);
        } else if (entries_.size() >= bound_) {
            // Classes made on the fly (fresh descriptor pools) must not pile up.
            replaced = std::move(entries_.begin()->second);
            erase(entries_.begin());
        }
        entries_.emplace(type, Entry{.class_ref = std::move(class_ref), .value = std::move(value)});
        return 0;
    }

private:
    struct Entry {
        Ref class_ref;  // weak reference to the class; its callback drops the entry
        Value value;
    };

    // The entries found last, by the class's address, before the map: no
    // hashing for the classes a program converts again and again. A slot
    // points into the map, whose nodes stay where they are until erased.
    struct Recent {
        PyTypeObject* type = nullptr;
        Value* value = nullptr;
    };
    static constexpr std::size_t kRecent = 64;

    Recent& recent_of(PyTypeObject* type) {
        return recent_[(reinterpret_cast<std::uintptr_t>(type) >> 4) % kRecent];
    }

    template <class Iterator>
    void erase(Iterator it) {
        if (Recent& recent = recent_of(it->first); recent.type == it->first) recent = Recent{};
        entries_.erase(it);
    }

    // The weak references' callback: removes the entry of a class being destroyed.
    static PyObject* drop(PyObject* capsule, PyObject* class_ref) {
        auto* cache = static_cast<ClassCache*>(PyCapsule_GetPointer(capsule, nullptr));
        if (!cache) return nullptr;
        auto& entries = cache->entries_;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->second.class_ref.get() == class_ref) {
                Entry gone = std::move(it->second);  // released after the erase
                cache->erase(it);
                break;
            }
        }
        Py_RETURN_NONE;
    }

    std::unordered_map<PyTypeObject*, Entry>& entries_;
    std::size_t bound_;
    Recent recent_[kRecent];
    PyMethodDef drop_def_;
    PyObject* callback_ = nullptr;  // made at the first store, kept for the process
};

}  // namespace frame
