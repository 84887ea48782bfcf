-- extract: one export on a context of its own.
local support = require "repository_support"
local double, update = support.double, support.update

local extract = support.extract

before_each(function() double.reset() end)
after_each(function() support.assert_released() end)

describe("extract", function()
  it("exports the parsed component by value into the destination", function()
    assert.same({ true, 1, "status 1" }, { extract("/srv/repo", "c22t2213v1.05.3.7l2", "/tmp/out") })
    assert.same({ "CreateContext", "ExportComponent", "DestroyContext", "GetStatusMessage" }, support.names())
    local call = support.last("ExportComponent")
    assert.equal("/tmp/out", call.destination)
    assert.equal(support.last("CreateContext").context, call.context)
    assert.same(support.entity({ klass = 22, type = 2213, language = 2, major = 1, minor = 500, build = 3,
                                 revision = 7 }), call.entity)
  end)

  it("takes a table's extract field, as tocomponent makes it", function()
    extract("/r", "c3t4v9.5.1l1", "/d")
    local by_string = support.last("ExportComponent").entity
    extract("/r", { extract = "c3t4v9.5.1l1" }, "/d")
    assert.same(by_string, support.last("ExportComponent").entity)
    extract("/r", update.tocomponent("c3t4v9.5.1l1"), "/d")
    assert.same(by_string, support.last("ExportComponent").entity)
  end)

  it("returns a failed export as its status", function()
    double.status("ExportComponent", -2)
    assert.same({ nil, -2, "status -2" }, { extract("/r", "c3t4", "/d") })
    assert.equal(1, #support.calls("DestroyContext"))
  end)

  it("returns a refused context without exporting", function()
    double.status("CreateContext", 0)
    assert.same({ nil, 0, "status 0" }, { extract("/r", "c3t4", "/d") })
    assert.same({}, support.calls("ExportComponent"))
  end)

  it("checks destination, then component, then path, before any context", function()
    local cases = {
      { { {}, "x", nil }, "bad argument #3 to 'extract' (expected destination directory)" },
      { { "/r", {}, "/d" }, "bad argument #2 to 'extract' (expected product id string)" },
      { { "/r", nil, "/d" }, "bad argument #2 to 'extract' (expected product id string)" },
      { { "/r", "c3x4", "/d" }, "bad argument #2 to 'extract' (invalid product type)" },
      { { {}, "x", "/d" }, "bad argument #2 to 'extract' (invalid product class)" },
      { { {}, "c3t4", "/d" }, "bad argument #1 to 'extract' (expected repository path)" },
    }
    for _, case in ipairs(cases) do
      assert.has_error(function() extract(case[1][1], case[1][2], case[1][3]) end, case[2])
    end
    assert.same({}, support.names())
  end)
end)
