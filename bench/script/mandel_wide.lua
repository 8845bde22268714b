-- Float loop with long expressions: mandelbrot escape counts (at most 50 steps)
-- over a 640 x 640 grid, summed; the inner loop is three expressions of 9 to 13 items.
local t0 = os.clock()
local total = 0
local py = 0
while py < 640 do
    local px = 0
    while px < 640 do
        local cr = px * 0.0046875 - 2.0
        local ci = py * 0.003125 - 1.0
        local zr, zi, k = 0.0, 0.0, 0
        while zr * zr + zi * zi < 4.0 and k < 50 do
            local t = zr * zr - zi * zi + cr
            zi = zr * zi + zr * zi + ci
            zr = t
            k = k + 1
        end
        total = total + k
        px = px + 1
    end
    py = py + 1
end
print(string.format("%.6f", os.clock() - t0), total)
