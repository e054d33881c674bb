// Values that travel between the host and a tool: the base object, parameters (numbers,
// points, images) and the holders a tool uses to set a control's value.
#pragma once

#include "host/export.h"
#include "host/tags.h"

#include <memory>

class TagList;

// The host's base object. Inputs and parameters are objects.
class QRVX_HOST_API Object {
public:
    virtual ~Object() = default;

    // Sets an attribute; the host keeps tag::Visible (0 hidden, 1 shown) on inputs and
    // ignores other attributes. Returns true when the attribute was taken.
    virtual bool SetAttrs(tag::Id id, long long value);

    // Releases a temporary object: inside a render the render gives it up at once,
    // otherwise it is deleted.
    void Recycle();
};

// A value an input can hold at a time.
class QRVX_HOST_API Parameter : public Object {};

class QRVX_HOST_API Number : public Parameter {
public:
    explicit Number(double value) : m_value(value) {}
    double Value() const { return m_value; }
    operator double() const { return m_value; }

private:
    double m_value;
};

// A point in normalised image coordinates: (0.5, 0.5) is the image centre.
class QRVX_HOST_API Point : public Parameter {
public:
    Point(double x, double y, double z = 0.0) : X(x), Y(y), Z(z) {}
    double X, Y, Z;
};

// A number value to hand to an input's set-value operation.
class AutoNumber {
public:
    explicit AutoNumber(double value) : m_number(value) {}
    const Parameter& Get() const { return m_number; }
    operator const Parameter&() const { return m_number; }

private:
    Number m_number;
};

// Holds a parameter made with new (a Point, for example) and deletes it at the end.
class AutoParameter {
public:
    explicit AutoParameter(Parameter* p) : m_p(p) {}
    const Parameter& Get() const { return *m_p; }
    operator const Parameter&() const { return *m_p; }

private:
    std::unique_ptr<Parameter> m_p;
};
