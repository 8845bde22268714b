-- class Counter { n; add(k) } and 3 million calls of c:add(1) (the lumio side calls it generically)
local t0 = os.clock()
local Counter = {}
Counter.__index = Counter
function Counter.new(n) return setmetatable({n = n}, Counter) end
function Counter:add(k) self.n = self.n + k end
local c = Counter.new(0)
local i = 0
while i < 3000000 do
    c:add(1)
    i = i + 1
end
print(string.format("%.6f", os.clock() - t0), c.n)
