#pragma once

// Writes `value` into `field` and emits `changed` on `owner`, unless nothing changes: views
// redraw only for real changes.
template<typename Owner, typename Value, typename Signal>
void assignAndNotify(Owner* owner, Value& field, const Value& value, Signal changed)
{
    if (field == value) {
        return;
    }
    field = value;
    Q_EMIT(owner->*changed)();
}
