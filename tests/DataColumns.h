#pragma once

#include <QTest>

namespace testdata {

// The columns of a data table in one call, types and names in the order the rows give them:
// addColumns<QString, int>("host", "port").
template <typename... Types, typename... Names>
void addColumns(const Names&... names)
{
    static_assert(sizeof...(Types) == sizeof...(Names), "one name for each column type");
    (QTest::addColumn<Types>(names), ...);
}

} // namespace testdata
