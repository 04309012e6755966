// Reference-counted base of the engine's task objects (metainfo, piece map,
// source descriptions, source objects). The count starts at 1; releasing the
// last reference deletes the object. Not atomic: such objects live on one
// task thread.
#pragma once

namespace lf {

class TRefObject {
public:
    TRefObject() = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;

    int AddRef() { return ++m_refs; }
    int Release() {
        int left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    int RefCount() const { return m_refs; }

protected:
    virtual ~TRefObject() = default;

private:
    int m_refs = 1;
};

}  // namespace lf
